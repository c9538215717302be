#include "platform/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

namespace Oxle::Client::Platform {
namespace {

TEST(ProcessTest, ThreadIdIsTheProcessIdOnTheMainThreadAndDiffersElsewhere) {
  // GoogleTest runs tests on the main thread, whose id is the process id on Linux only.
#ifdef _WIN32
  EXPECT_NE(CurrentThreadId(), 0u);
#else
  EXPECT_EQ(CurrentThreadId(), static_cast<uint32_t>(getpid()));
#endif
  uint32_t other = 0;
  std::thread([&other] { other = CurrentThreadId(); }).join();
  EXPECT_TRUE(other != 0 && other != CurrentThreadId()) << other;
}

// Room for every character but not the NUL gives nothing, as does exactly enough: readlink
// cannot tell that it was complete.
TEST(ProcessTest, ExecutablePathNamesThisTestProgramOnlyWhenItFits) {
  char path[4096];
  const size_t length = ReadExecutablePath(path, sizeof path);
  EXPECT_EQ(std::strlen(path), length);
#ifdef _WIN32
  EXPECT_EQ(std::string(path).find(":\\"), 1u) << path;  // a drive's root, C:\...
  EXPECT_TRUE(std::string(path).ends_with("\\tpk_platform_tests.exe")) << path;
#else
  EXPECT_TRUE(std::string(path).starts_with("/")) << path;
  EXPECT_TRUE(std::string(path).ends_with("/tpk_platform_tests")) << path;
#endif
  char small[4096];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(ReadExecutablePath(small, length), 0u);
  EXPECT_STREQ(small, "");
  EXPECT_EQ((std::tuple{ReadExecutablePath(small, length + 1), ReadExecutablePath(nullptr, 10),
                        ReadExecutablePath(small, length + 2)}),
            std::tuple(0u, 0u, length));
  EXPECT_STREQ(small, path);
}

TEST(ProcessTest, TracerIsReadFromTheTracerPidLine) {
  // CTest does not trace its tests; this fails only when run under a debugger on purpose.
  EXPECT_FALSE(IsDebuggerAttached());
  const std::tuple<const char*, std::string_view, bool> cases[] = {
      {"untraced", "Name:\tx\nState:\tR\nTracerPid:\t0\nUid:\t0\n", false},
      {"traced", "Name:\tx\nTracerPid:\t4711\nUid:\t0\n", true},
      {"traced, last line without newline", "Name:\tx\nTracerPid:\t12", true},
      {"leading zeros are still zero", "TracerPid:\t000\n", false},
      {"ten is not zero", "TracerPid:\t10\n", true},
      {"no such line", "Name:\tx\nPid:\t12\n", false},
      {"a similar key elsewhere does not count", "XTracerPid:\t5\nTracerPid:\t0\n", false},
      {"empty value", "TracerPid:\n", false},
      {"empty text", "", false},
  };
  for (const auto& [name, status, traced] : cases)
    EXPECT_EQ(StatusShowsTracer(status), traced) << name;
}

}  // namespace
}  // namespace Oxle::Client::Platform
