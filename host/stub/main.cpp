// tpk-mhx-stub: the stub match-history service as a program. See stub_options.h for the
// command line and README.md for what it serves. SIGINT and SIGTERM are taken by a thread of
// their own (blocked everywhere else), which stops the server; the program then exits 0.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "stub/stub_options.h"
#include "stub/stub_server.h"

namespace {

using namespace Oxle::Client::Host::Stub;
using Oxle::Client::Host::Status;

int RunStub(const std::vector<std::string>& args) {
  const auto parsed = ParseStubOptions(args);
  if (!parsed.Ok()) {
    std::fprintf(stderr, "%s\n", parsed.ErrorMessage().c_str());
    return kExitUsage;
  }
  const StubOptions& options = parsed.Value();
  if (options.help) {
    std::fputs(StubUsageText().c_str(), stdout);
    return kExitOk;
  }

  // Blocked before any thread starts, so every thread inherits the mask and only sigwait sees
  // the signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  StubServerOptions serverOptions;
  serverOptions.host = options.host;
  serverOptions.port = options.port;
  serverOptions.lateDelay = std::chrono::milliseconds(options.lateMs);
  StubServer server(std::move(serverOptions));
  if (Status bound = server.Bind(); !bound.Ok()) {
    std::fprintf(stderr, "tpk-mhx-stub: %s\n", bound.ErrorMessage().c_str());
    return kExitFailed;
  }
  if (!IsLoopbackAddress(options.host)) {
    std::fprintf(stderr,
                 "tpk-mhx-stub: warning: %s is not a loopback address; anyone who can reach it "
                 "can use the stub\n",
                 options.host.c_str());
  }
  std::printf("listening on %s\n", server.Url().c_str());
  std::fflush(stdout);

  std::atomic<bool> serverEnded{false};
  std::thread signals([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (!serverEnded.load()) {
      std::fprintf(stderr, "tpk-mhx-stub: stopping (%s)\n",
                   signal == SIGINT ? "SIGINT" : "SIGTERM");
    }
    server.Stop();
  });
  const Status ran = server.Run();
  // Wakes the signal thread when the server ended by itself.
  serverEnded.store(true);
  pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  if (!ran.Ok()) {
    std::fprintf(stderr, "tpk-mhx-stub: %s\n", ran.ErrorMessage().c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return RunStub(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tpk-mhx-stub: %s\n", error.what());
    return kExitFailed;
  }
}
