// The life of bench/http_bench.sh's bare proxy (a cpp-httplib server): stop signals taken by a
// waiting thread, never a handler; "listening on http://127.0.0.1:PORT" printed first; serving
// until SIGINT or SIGTERM.
#pragma once

#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <thread>

namespace Oxle::Client::Bench {

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts afterwards: call it
// first in main. Returns them, for ServeUntilSignal.
inline sigset_t BlockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

// Serves on `port`, which `server` is bound to (0 or less: binding failed, reported under
// `name`), until one of `signals` arrives or the server ends by itself. Returns main's status.
inline int ServeUntilSignal(httplib::Server& server, int port, const char* name,
                            const sigset_t& signals) {
  if (port <= 0) {
    std::fprintf(stderr, "%s: cannot listen on 127.0.0.1\n", name);
    return 1;
  }
  std::printf("listening on http://127.0.0.1:%d\n", port);
  std::fflush(stdout);
  std::thread stopper([&] {
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
  });
  const bool served = server.listen_after_bind();
  // The server may also end by itself; wake the waiting thread then.
  if (!served) kill(getpid(), SIGTERM);
  stopper.join();
  return served ? 0 : 1;
}

}  // namespace Oxle::Client::Bench
