// Slow clients for bench/http_bench.sh, on plain POSIX sockets. Two modes:
//
//   slow_clients [--connections N] [--every S] [--for D] HOST:PORT
//     opens N connections to HOST:PORT (an IPv4 loopback address), sends on each the start of a
//     request head ("GET / HTTP/1.1\r\nHost: HOST:PORT\r\n") and then one more header line every
//     S seconds, never ending the head, for D seconds. It prints "opened N of M connections" once
//     they are connected, then a status line every S seconds and a last one at the end:
//     "status: opened N, closed by the server K, open L, after T s".
//   slow_clients --listen [--for D]
//     listens on 127.0.0.1 (a free port), prints "listening on http://127.0.0.1:PORT", accepts
//     connections and never answers them, for D seconds; then prints "accepted N connections".
//
// Either mode exits 0 by itself after D seconds, or earlier on SIGINT or SIGTERM (printing its
// last line first). Defaults: 1000 connections, a line every 2 s, 30 s.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stopRequested = 0;

void OnStopSignal(int) {
  stopRequested = 1;
}

struct Options {
  bool listen = false;
  long connections = 1000;
  double everySeconds = 2;
  double forSeconds = 30;
  std::string target;
};

int Usage(const char* problem) {
  std::fprintf(stderr,
               "slow_clients: %s\n"
               "usage: slow_clients [--connections N] [--every S] [--for D] HOST:PORT\n"
               "       slow_clients --listen [--for D]\n",
               problem);
  return 2;
}

// Reads a number in [low, high] from TEXT; false when it is not one.
bool ParseNumber(const char* text, double low, double high, double& out) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(value >= low && value <= high)) return false;
  out = value;
  return true;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int MillisecondsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

Clock::time_point After(Clock::time_point from, double seconds) {
  return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// So that a thousand connections fit whatever the shell's soft limit is.
void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int RunListener(const Options& options) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 4096) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::fprintf(stderr, "slow_clients: cannot listen on 127.0.0.1: %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("listening on http://127.0.0.1:%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  // Accepted connections are held, unread, until the end: the peer sees a service that took
  // its request and never answers.
  std::vector<int> held;
  const auto end = After(Clock::now(), options.forSeconds);
  while (stopRequested == 0 && Clock::now() < end) {
    pollfd entry{listener, POLLIN, 0};
    if (poll(&entry, 1, std::min(MillisecondsUntil(end), 500)) <= 0) continue;
    const int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted >= 0) held.push_back(accepted);
  }
  std::printf("accepted %zu connections\n", held.size());
  for (const int fd : held)
    close(fd);
  close(listener);
  return 0;
}

struct Client {
  int fd = -1;
  bool open = false;
};

// Reads what the server sent (an error answer, say) and reports whether it closed the connection.
bool ClosedByPeer(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) continue;
    if (got == 0) return true;
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
  }
}

int RunClients(const Options& options) {
  const auto colon = options.target.rfind(':');
  sockaddr_in address{};
  address.sin_family = AF_INET;
  double port = 0;
  if (colon == std::string::npos ||
      inet_pton(AF_INET, options.target.substr(0, colon).c_str(), &address.sin_addr) != 1 ||
      !ParseNumber(options.target.c_str() + colon + 1, 1, 65535, port) ||
      port != static_cast<int>(port)) {
    return Usage("the target is not an IPv4 HOST:PORT");
  }
  if ((ntohl(address.sin_addr.s_addr) >> 24) != 127)
    return Usage("the target is not a loopback address");
  address.sin_port = htons(static_cast<uint16_t>(port));

  const auto start = Clock::now();
  const auto end = After(start, options.forSeconds);
  // Connect without blocking, all at once, and give the handshakes at most 5 s in all: a server
  // that stops accepting must not hold the tool past its time.
  std::vector<Client> clients(static_cast<size_t>(options.connections));
  for (Client& client : clients) {
    client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (client.fd < 0) break;
    if (connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
        errno == EINPROGRESS) {
      client.open = true;
    }
  }
  const auto connectDeadline = std::min(end, After(start, 5));
  std::vector<pollfd> waiting;
  std::vector<Client*> owners;
  for (;;) {
    waiting.clear();
    owners.clear();
    for (Client& client : clients) {
      if (!client.open) continue;
      int error = 0;
      socklen_t size = sizeof error;
      sockaddr_in peer{};
      socklen_t peerSize = sizeof peer;
      if (getpeername(client.fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0) continue;
      getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &size);
      if (error != 0 && error != EINPROGRESS && error != EALREADY) {
        client.open = false;
        continue;
      }
      waiting.push_back({client.fd, POLLOUT, 0});
      owners.push_back(&client);
    }
    if (waiting.empty() || stopRequested != 0 || Clock::now() >= connectDeadline) break;
    poll(waiting.data(), waiting.size(), std::min(MillisecondsUntil(connectDeadline), 200));
  }
  for (Client* client : owners)
    client->open = false;  // still not connected at the deadline

  const std::string head = "GET / HTTP/1.1\r\nHost: " + options.target + "\r\n";
  long opened = 0;
  for (Client& client : clients) {
    if (client.open && send(client.fd, head.data(), head.size(), MSG_NOSIGNAL) < 0)
      client.open = false;
    opened += client.open ? 1 : 0;
  }
  std::printf("opened %ld of %ld connections\n", opened, options.connections);
  std::fflush(stdout);

  long closed = 0;
  const auto report = [&] {
    std::printf("status: opened %ld, closed by the server %ld, open %ld, after %.1f s\n", opened,
                closed, opened - closed, SecondsSince(start));
    std::fflush(stdout);
  };
  const auto markClosed = [&](Client& client) {
    client.open = false;
    ++closed;
  };
  auto nextLine = After(Clock::now(), options.everySeconds);
  for (int line = 1; stopRequested == 0 && Clock::now() < end;) {
    waiting.clear();
    owners.clear();
    for (Client& client : clients) {
      if (!client.open) continue;
      waiting.push_back({client.fd, POLLIN | POLLRDHUP, 0});
      owners.push_back(&client);
    }
    const int timeout = MillisecondsUntil(std::min(nextLine, end));
    if (waiting.empty()) {
      poll(nullptr, 0, timeout);
    } else if (poll(waiting.data(), waiting.size(), timeout) > 0) {
      for (size_t i = 0; i < waiting.size(); ++i) {
        if (waiting[i].revents != 0 && ClosedByPeer(waiting[i].fd)) markClosed(*owners[i]);
      }
    }
    if (Clock::now() < nextLine) continue;
    const std::string header = "X-Slow-" + std::to_string(line++) + ": 1\r\n";
    for (Client& client : clients) {
      if (client.open && send(client.fd, header.data(), header.size(), MSG_NOSIGNAL) < 0)
        markClosed(client);
    }
    report();
    nextLine = After(nextLine, options.everySeconds);
  }
  report();
  for (const Client& client : clients) {
    if (client.fd >= 0) close(client.fd);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    double number = 0;
    if (arg == "--listen") {
      options.listen = true;
    } else if (arg == "--connections" || arg == "--every" || arg == "--for") {
      if (i + 1 == argc) return Usage(("missing value after " + arg).c_str());
      const char* value = argv[++i];
      if (arg == "--connections" && ParseNumber(value, 1, 100000, number) &&
          number == static_cast<long>(number)) {
        options.connections = static_cast<long>(number);
      } else if (arg == "--every" && ParseNumber(value, 0.1, 600, number)) {
        options.everySeconds = number;
      } else if (arg == "--for" && ParseNumber(value, 0.1, 600, number)) {
        options.forSeconds = number;
      } else {
        return Usage(("invalid value for " + arg).c_str());
      }
    } else if (!arg.empty() && arg[0] != '-' && options.target.empty()) {
      options.target = arg;
    } else {
      return Usage(("unexpected argument " + arg).c_str());
    }
  }
  if (options.listen != options.target.empty()) return Usage("give either --listen or HOST:PORT");

  struct sigaction action {};
  action.sa_handler = OnStopSignal;  // no SA_RESTART: poll returns at once on a signal
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  RaiseOpenFileLimit();
  return options.listen ? RunListener(options) : RunClients(options);
}
