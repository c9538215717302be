// The anchor of bench/http_bench.sh: a bare server on the HTTP library tpk-host's server stands on
// (Boost.Asio and Beast, two I/O threads like tpk-host's, kept-alive connections, no deadlines or
// gate), answering every request with the bytes of one file as JSON, so tpk-host's throughput
// can be compared with the library's own on the same answer. Listens on 127.0.0.1 (port 0 picks
// a free one), prints "listening on http://127.0.0.1:PORT" first, and stops on SIGINT or SIGTERM.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;

// One kept-alive connection: read a request, answer it, again until the client closes.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, const std::string& body) : socket_(std::move(socket)), body_(body) {}

  void Read() {
    request_ = {};
    http::async_read(socket_, buffer_, request_,
                     [self = shared_from_this()](ErrorCode error, size_t) {
                       if (!error) self->Answer();
                     });
  }

 private:
  void Answer() {
    response_ = {};
    response_.result(http::status::ok);
    response_.version(request_.version());
    response_.set(http::field::content_type, "application/json");
    response_.keep_alive(request_.keep_alive());
    response_.body() = body_;
    response_.prepare_payload();
    http::async_write(socket_, response_, [self = shared_from_this()](ErrorCode error, size_t) {
      if (!error && self->response_.keep_alive()) self->Read();
    });
  }

  tcp::socket socket_;
  const std::string& body_;
  boost::beast::flat_buffer buffer_;
  http::request<http::empty_body> request_;
  http::response<http::string_body> response_;
};

void Accept(tcp::acceptor& acceptor, net::io_context& io, const std::string& body) {
  acceptor.async_accept(net::make_strand(io), [&](ErrorCode error, tcp::socket socket) {
    if (error) return;  // the acceptor was closed
    socket.set_option(tcp::no_delay(true), error);
    std::make_shared<Session>(std::move(socket), body)->Read();
    Accept(acceptor, io, body);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: bare_http_server BODY_FILE [PORT]\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "bare_http_server: cannot read %s\n", argv[1]);
    return 1;
  }
  const std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto port = static_cast<unsigned short>(argc == 3 ? std::atoi(argv[2]) : 0);

  net::io_context io;
  tcp::acceptor acceptor(io);
  ErrorCode error;
  const tcp::endpoint at(net::ip::make_address_v4("127.0.0.1"), port);
  if (acceptor.open(at.protocol(), error); !error) {
    acceptor.set_option(net::socket_base::reuse_address(true), error);
    if (acceptor.bind(at, error); !error)
      acceptor.listen(net::socket_base::max_listen_connections, error);
  }
  if (error) {
    std::fprintf(stderr, "bare_http_server: cannot listen on 127.0.0.1: %s\n",
                 error.message().c_str());
    return 1;
  }
  std::printf("listening on http://127.0.0.1:%u\n", acceptor.local_endpoint().port());
  std::fflush(stdout);
  net::signal_set stop(io, SIGINT, SIGTERM);
  stop.async_wait([&](ErrorCode, int) { io.stop(); });
  Accept(acceptor, io, body);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&io] { io.run(); });
  for (std::thread& thread : threads)
    thread.join();
  return 0;
}
