// Helpers the command-line host's and the stub's suites share: JSON in and out of values, the
// JSON error body both servers send, a temporary directory, one HTTP request to a loopback port,
// and raw loopback sockets (a listener on a free port, a client connection read on demand).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "codec/json.h"

namespace CliSupport {

inline Oxle::Client::Binding::BindingProperty Json(const std::string& text) {
  Oxle::Client::Binding::ValueResult parsed = Oxle::Client::Codec::ParseJson(text);
  EXPECT_TRUE(parsed.Ok()) << text.substr(0, 200);
  return parsed.Value();
}

inline std::string Json(const Oxle::Client::Binding::BindingProperty& value) {
  return Oxle::Client::Codec::WriteJson(value, nullptr, nullptr);
}

inline std::string Error(int status, const std::string& message) {
  return R"({"message":")" + message + R"(","status":)" + std::to_string(status) + "}";
}

// A fresh directory under the system's temporary one, removed with everything in it.
struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tpk-cli-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  [[nodiscard]] std::string Sub(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

// A TCP socket on 127.0.0.1: listening on a free port (its port in `port`), or else connected
// to `port` with a 20 s receive time-out (and a small receive buffer if asked).
inline int Loopback(int& port, bool listening, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receiveBuffer != 0)
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(int));
  timeval timeout{20, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(listening ? 0 : port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto* at = reinterpret_cast<sockaddr*>(&address);
  if (!listening) {
    EXPECT_EQ(::connect(fd, at, length), 0);
    return fd;
  }
  EXPECT_EQ(::bind(fd, at, length), 0);
  EXPECT_EQ(::listen(fd, 1), 0);
  EXPECT_EQ(::getsockname(fd, at, &length), 0);
  port = ntohs(address.sin_port);
  return fd;
}

// A connection to 127.0.0.1:`port` that sends `request`, then reads on demand (a small receive
// buffer, if asked, makes a slow reader).
struct RawClient {
  RawClient(int port, const std::string& request, int receiveBuffer = 0)
      : fd(Loopback(port, false, receiveBuffer)) {
    EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
  }
  ~RawClient() { ::close(fd); }
  // Reads until `text` holds `what` `count` times (true), or the peer closes or 20 s pass.
  bool ReadUntil(const std::string& what, size_t count = 1) {
    for (;;) {
      size_t found = 0;
      for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++found;
      if (found >= count) return true;
      if (!ReadMore()) return false;
    }
  }
  // All that comes until the peer closes (or 20 s pass).
  std::string Rest() {
    while (ReadMore()) {
    }
    return text;
  }
  // Appends what the next receive brings; false (and `closed` set if it did) once the peer
  // closes or the receive fails.
  bool ReadMore() {
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return closed = n == 0, false;
    text.append(buffer, static_cast<size_t>(n));
    return true;
  }
  int fd;
  std::string text;
  bool closed = false;
};

// One request to 127.0.0.1:`port`, on a connection of its own unless `kept` is given; a body
// goes with `type` as its Content-Type. Waits at most 20 s.
inline httplib::Result Send(int port, const std::string& method, const std::string& path,
                            const httplib::Headers& headers = {}, const std::string& body = "",
                            const std::string& type = "application/json",
                            httplib::Client* kept = nullptr) {
  httplib::Client fresh("127.0.0.1", port);
  httplib::Client& client = kept != nullptr ? *kept : fresh;
  client.set_connection_timeout(5);
  client.set_read_timeout(20);
  httplib::Request request;
  request.method = method;
  request.path = path;
  request.headers = headers;
  request.body = body;
  if (!body.empty() || method == "POST" || method == "PUT")
    request.set_header("Content-Type", type);
  return client.send(request);
}

}  // namespace CliSupport
