// RunOnSmallStack(work): runs `work` on a thread with a 256 KiB stack, as a host thread may
// have, for the tests of what recurses per level of nesting.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

namespace Oxle::Client {

template <typename Work>
void RunOnSmallStack(Work& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  auto entry = [](void* argument) -> void* {
    (*static_cast<Work*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, entry, &work), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);
}

}  // namespace Oxle::Client
