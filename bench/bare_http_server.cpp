// The anchor of bench/http_bench.sh: a bare cpp-httplib server that answers every GET with the
// bytes of one file as JSON, so tpk-host's throughput can be compared with the HTTP library's
// own on the same answer. Listens on 127.0.0.1 (port 0 picks a free one), prints
// "listening on http://127.0.0.1:PORT" first, and stops on SIGINT or SIGTERM.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "serve_until_signal.h"

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
  const int wanted = argc == 3 ? std::atoi(argv[2]) : 0;

  const sigset_t signals = Oxle::Client::Bench::BlockStopSignals();

  httplib::Server server;
  // As many workers as tpk-host's server has: each kept-alive connection holds one.
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  // An answer goes out in two writes (head, body): without this, Nagle's algorithm holds the
  // second until the client's delayed acknowledgement, some 40 ms per request.
  server.set_tcp_nodelay(true);
  server.Get(".*", [&body](const httplib::Request&, httplib::Response& response) {
    response.set_content(body, "application/json");
  });
  const int port = wanted == 0 ? server.bind_to_any_port("127.0.0.1")
                               : (server.bind_to_port("127.0.0.1", wanted) ? wanted : -1);
  return Oxle::Client::Bench::ServeUntilSignal(server, port, "bare_http_server", signals);
}
