// The floor of bench/http_bench.sh for a routed remote answer: a bare cpp-httplib server that
// fetches the same target, with the request's own headers, from an upstream server with libcurl
// (each worker thread keeps its own handle, so connections are reused) and answers the bytes
// unchanged, as JSON. What tpk-host and
// the module add to a remote answer is measured against it. Listens on 127.0.0.1 (port 0 picks a
// free one), prints "listening on http://127.0.0.1:PORT" first, and stops on SIGINT or SIGTERM.
#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <string>

#include "serve_until_signal.h"

namespace {

size_t Append(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One easy handle per worker thread, kept for the thread's life: its connection is reused.
CURL* ThreadHandle() {
  thread_local const std::unique_ptr<CURL, void (*)(CURL*)> handle(curl_easy_init(),
                                                                   curl_easy_cleanup);
  return handle.get();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bare_proxy UPSTREAM_URL\n");
    return 2;
  }
  const std::string upstream = argv[1];
  curl_global_init(CURL_GLOBAL_DEFAULT);

  const sigset_t signals = Oxle::Client::Bench::BlockStopSignals();

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  server.set_tcp_nodelay(true);  // see bare_http_server.cpp
  server.Get(".*", [&upstream](const httplib::Request& request, httplib::Response& response) {
    CURL* curl = ThreadHandle();
    std::string body;
    const std::string url = upstream + request.target;
    // The client's headers, but those of this hop and the library's own address entries.
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers) {
      if (name == "Host" || name == "Connection" || name.starts_with("REMOTE_") ||
          name.starts_with("LOCAL_")) {
        continue;
      }
      headers = curl_slist_append(headers, (name + ": " + value).c_str());
    }
    const std::unique_ptr<curl_slist, void (*)(curl_slist*)> owned(headers, curl_slist_free_all);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    long status = 0;
    if (curl_easy_perform(curl) != CURLE_OK ||
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
      response.status = 502;
      return;
    }
    response.status = static_cast<int>(status);
    response.set_content(std::move(body), "application/json");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  const int status = Oxle::Client::Bench::ServeUntilSignal(server, port, "bare_proxy", signals);
  curl_global_cleanup();
  return status;
}
