// Helpers the command-line host's and the stub's suites share: JSON in and out of values, the
// JSON error body both servers send, a temporary directory, and raw loopback sockets (a listener
// on a free port, a client connection, and a whole exchange read until the peer closes).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
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

// Sends `request` on a new connection and reads until the server closes (or 20 s pass).
inline std::string RawExchange(int port, const std::string& request) {
  const int fd = Loopback(port, false);
  (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
    answer.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return answer;
}

}  // namespace CliSupport
