#include "cli/curl_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

#include "api/http_method.h"
#include "codec/ascii_case.h"

namespace Oxle::Client::Host::Cli {

namespace {

// The pool keeps at most this many idle handles; more concurrent calls get fresh ones.
constexpr size_t kMaxIdleHandles = 16;

[[nodiscard]] CURLcode GlobalInit() {
  // curl_global_init is not safe to race with itself; a function-local static runs it once.
  static const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  return code;
}

[[nodiscard]] ExternalAnswer Failure(std::string text) {
  ExternalAnswer answer;
  answer.transportResult = kTransportFailed;
  answer.body = std::move(text);
  return answer;
}

[[nodiscard]] bool IsLineBreakOrNul(char c) {
  return c == '\r' || c == '\n' || c == '\0';
}

[[nodiscard]] std::string_view CharacterName(char c) {
  switch (c) {
    case '\r':
      return "a carriage return";
    case '\n':
      return "a line feed";
    case '\0':
      return "a NUL byte";
    default:
      return "':'";
  }
}

// Why a header cannot be sent, or nothing. A rejected name is quoted only up to the offending
// character: whatever follows a ':' or a line break may be a value smuggled into the name.
[[nodiscard]] std::optional<std::string> HeaderProblem(size_t index, std::string_view name,
                                                       std::string_view value) {
  if (name.empty()) {
    return "The request was not sent: header " + std::to_string(index) + " has an empty name";
  }
  const size_t bad = name.find_first_of(std::string_view(":\r\n\0", 4));
  if (bad != std::string_view::npos) {
    return "The request was not sent: the name of header " + std::to_string(index) + " ('" +
           std::string(name.substr(0, bad)) + "') holds " + std::string(CharacterName(name[bad])) +
           " at offset " + std::to_string(bad);
  }
  const auto badValue = std::find_if(value.begin(), value.end(), IsLineBreakOrNul);
  if (badValue != value.end()) {
    return "The request was not sent: the value of header '" + std::string(name) + "' holds " +
           std::string(CharacterName(*badValue));
  }
  return std::nullopt;
}

// Whether a header of that name, in any letter case, is in the list.
[[nodiscard]] bool HasHeader(const HeaderList& headers, std::string_view wanted) {
  return std::any_of(headers.begin(), headers.end(), [wanted](const auto& header) {
    return Codec::EqualsNoCase(header.first, wanted);
  });
}

struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

[[nodiscard]] bool Append(Slist& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  (void)list.release();
  list.reset(grown);
  return true;
}

// What the callbacks of one transfer write into.
struct Exchange {
  size_t maxBodyBytes = 0;
  bool bodyTooLarge = false;
  HeaderList headers;
  std::string body;
};

[[nodiscard]] std::string_view TrimSpace(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

size_t OnHeader(char* data, size_t size, size_t count, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  const size_t length = size * count;
  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.remove_suffix(1);
  try {
    if (line.starts_with("HTTP/")) {
      exchange.headers.clear();  // a new response begins: an interim 1xx answer is forgotten
    } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      if (!exchange.headers.empty()) {  // an obsolete folded continuation of the last value
        std::string& value = exchange.headers.back().second;
        value.append(value.empty() ? "" : " ").append(TrimSpace(line));
      }
    } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
      exchange.headers.emplace_back(std::string(line.substr(0, colon)),
                                    std::string(TrimSpace(line.substr(colon + 1))));
    }
  } catch (...) {
    return 0;  // out of memory: curl fails the transfer
  }
  return length;
}

size_t OnBody(char* data, size_t size, size_t count, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  const size_t length = size * count;
  if (length > exchange.maxBodyBytes - exchange.body.size()) {
    exchange.bodyTooLarge = true;
    return 0;  // stops the transfer at once
  }
  try {
    exchange.body.append(data, length);
  } catch (...) {
    return 0;
  }
  return length;
}

// The module's headers as curl's list, each checked; with a body, curl's own Content-Type and
// "Expect: 100-continue" left out where the module sets none. Why they cannot be sent, or nothing.
[[nodiscard]] std::optional<std::string> HeaderLines(const HeaderList& headers, bool sendsBody,
                                                     Slist& lines) {
  for (size_t i = 0; i < headers.size(); ++i) {
    const auto& [name, value] = headers[i];
    if (auto problem = HeaderProblem(i, name, value)) return problem;
    // "Name:" alone would delete the header; "Name;" is curl's way to send it empty.
    if (!Append(lines, value.empty() ? name + ";" : name + ": " + value)) {
      return "The request was not sent: out of memory";
    }
  }
  if (sendsBody) {
    // Send the module's headers only: no form content type, no "Expect: 100-continue" wait.
    if ((!HasHeader(headers, "Content-Type") && !Append(lines, "Content-Type:")) ||
        (!HasHeader(headers, "Expect") && !Append(lines, "Expect:"))) {
      return "The request was not sent: out of memory";
    }
  }
  return std::nullopt;
}

// One transfer's settings, and what its handle points into.
struct Transfer {
  const ExternalRequest& request;
  const std::string& method;
  bool sendsBody;
  uint32_t timeoutSeconds;
  const std::string& caFile;
  curl_slist* headerLines;
  Exchange& exchange;
  char* errorText;  // CURL_ERROR_SIZE bytes
};

// Sets the options of one transfer on `curl`; the first one curl refused, or CURLE_OK.
[[nodiscard]] CURLcode SetOptions(void* curl, const Transfer& transfer) {
  CURLcode set = CURLE_OK;
  const auto option = [&set, curl](CURLoption what, auto value) {
    if (set == CURLE_OK) set = curl_easy_setopt(curl, what, value);
  };
  const std::string& method = transfer.method;
  option(CURLOPT_ERRORBUFFER, transfer.errorText);
  option(CURLOPT_URL, transfer.request.url.c_str());
  option(CURLOPT_PROTOCOLS_STR, "http,https");
  option(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  option(CURLOPT_FOLLOWLOCATION, 0L);
  option(CURLOPT_NOSIGNAL, 1L);
  option(CURLOPT_SSL_VERIFYPEER, 1L);
  option(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!transfer.caFile.empty()) option(CURLOPT_CAINFO, transfer.caFile.c_str());
  option(CURLOPT_TIMEOUT, static_cast<long>(transfer.timeoutSeconds));
  option(CURLOPT_HTTPHEADER, transfer.headerLines);
  option(CURLOPT_HEADERFUNCTION, &OnHeader);
  option(CURLOPT_HEADERDATA, static_cast<void*>(&transfer.exchange));
  option(CURLOPT_WRITEFUNCTION, &OnBody);
  option(CURLOPT_WRITEDATA, static_cast<void*>(&transfer.exchange));
  if (transfer.sendsBody) {
    const std::string& body = transfer.request.body;
    option(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    option(CURLOPT_POSTFIELDS, body.data());
    if (method != "POST") option(CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "HEAD") {
    option(CURLOPT_NOBODY, 1L);
  } else if (method == "GET") {
    option(CURLOPT_HTTPGET, 1L);
  } else {
    option(CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  return set;
}

// How a transfer driven by its own multi handle ended.
struct Outcome {
  bool aborted = false;
  CURLMcode multiCode = CURLM_OK;  // the multi interface itself failed
  CURLcode code = CURLE_OK;        // the transfer's result otherwise
};

// Runs the transfer of `easy` on `multi` to its end (curl's own time-out included), waiting in
// curl_multi_poll, which curl_multi_wakeup interrupts: the flag is read after every wake-up.
[[nodiscard]] Outcome Perform(CURLM* multi, CURL* easy, const std::atomic<bool>& aborted) {
  Outcome outcome;
  if (outcome.multiCode = curl_multi_add_handle(multi, easy); outcome.multiCode != CURLM_OK)
    return outcome;
  for (int running = 1;;) {
    if (aborted.load()) {
      outcome.aborted = true;
      break;
    }
    if (outcome.multiCode = curl_multi_perform(multi, &running); outcome.multiCode != CURLM_OK)
      break;
    if (running == 0) break;
    // curl shortens the wait to its next timer; a second here only bounds a wait with none.
    if (outcome.multiCode = curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        outcome.multiCode != CURLM_OK)
      break;
  }
  int left = 0;
  while (const CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
      outcome.code = message->data.result;
  }
  (void)curl_multi_remove_handle(multi, easy);  // a transfer cut short closes its connection
  return outcome;
}

// The answer of a transfer that ran on `curl`: its status, headers and body, or why it failed.
[[nodiscard]] ExternalAnswer AnswerOf(const Outcome& outcome, void* curl, Exchange& exchange,
                                      const char* errorText) {
  if (outcome.aborted) return Failure(curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
  if (outcome.multiCode != CURLM_OK) {
    return Failure(std::string("libcurl failed: ") + curl_multi_strerror(outcome.multiCode));
  }
  const CURLcode code = outcome.code;
  if (exchange.bodyTooLarge) {
    return Failure("The response body is larger than the limit of " +
                   std::to_string(exchange.maxBodyBytes) + " bytes");
  }
  if (code != CURLE_OK) {
    return Failure(errorText[0] != '\0' ? std::string(errorText) : curl_easy_strerror(code));
  }
  long status = 0;
  (void)curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  ExternalAnswer answer;
  answer.status = static_cast<uint32_t>(status);
  answer.headers = std::move(exchange.headers);
  answer.body = std::move(exchange.body);
  return answer;
}

}  // namespace

CurlTransport::CurlTransport(CurlTransportOptions options) : options_(std::move(options)) {
  (void)GlobalInit();
}

CurlTransport::~CurlTransport() {
  for (const Handles& handles : idleHandles_) {
    curl_multi_cleanup(handles.multi);
    curl_easy_cleanup(handles.easy);
  }
}

void CurlTransport::Abort() noexcept {
  aborted_.store(true);
  // A transfer registered after this sweep sees the flag before it first waits.
  std::lock_guard lock(activeMutex_);
  for (void* multi : activeMultis_)
    (void)curl_multi_wakeup(multi);
}

CurlTransport::Handles CurlTransport::TakeHandles() {
  {
    std::lock_guard lock(poolMutex_);
    if (!idleHandles_.empty()) {
      const Handles handles = idleHandles_.back();
      idleHandles_.pop_back();
      return handles;
    }
  }
  Handles handles{curl_easy_init(), curl_multi_init()};
  if (handles.easy == nullptr || handles.multi == nullptr) {
    curl_multi_cleanup(handles.multi);
    curl_easy_cleanup(handles.easy);
    return {};
  }
  return handles;
}

void CurlTransport::ReturnHandles(Handles handles) noexcept {
  if (handles.easy == nullptr) return;
  (void)curl_multi_remove_handle(handles.multi, handles.easy);  // done if it was never added
  // Forget this call's options (its buffers and callbacks die with it); the connections stay
  // in the multi handle's cache.
  curl_easy_reset(handles.easy);
  {
    std::lock_guard lock(poolMutex_);
    if (idleHandles_.size() < kMaxIdleHandles) {
      try {
        idleHandles_.push_back(handles);
        return;
      } catch (...) {
      }
    }
  }
  curl_multi_cleanup(handles.multi);
  curl_easy_cleanup(handles.easy);
}

ExternalAnswer CurlTransport::Send(const ExternalRequest& request) {
  if (const CURLcode init = GlobalInit(); init != CURLE_OK) {
    return Failure(std::string("libcurl could not be initialised: ") + curl_easy_strerror(init));
  }
  if (aborted_.load()) return Failure(curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK));
  // A named method (8) is not sent: it has no name here.
  const std::string_view method = Api::HostMethodName(request.method, nullptr).value_or("");
  if (method.empty()) {
    return Failure("The request was not sent: method code " + std::to_string(request.method) +
                   " names no HTTP method (1 DELETE to 7 PUT)");
  }
  if (method == "HEAD" && !request.body.empty()) {
    return Failure("The request was not sent: a HEAD request cannot carry a body");
  }
  // PUT and PATCH get a "Content-Length: 0" when empty, as servers expect of them.
  const bool sendsBody =
      !request.body.empty() || method == "POST" || method == "PUT" || method == "PATCH";
  Slist headerLines;
  if (auto problem = HeaderLines(request.headers, sendsBody, headerLines)) {
    return Failure(std::move(*problem));
  }

  Exchange exchange;
  exchange.maxBodyBytes =
      std::min<size_t>(options_.maxResponseBytes, std::numeric_limits<uint32_t>::max());
  char errorText[CURL_ERROR_SIZE] = {};
  const std::string methodText(method);
  const Transfer transfer{
      request,         methodText,
      sendsBody,       request.timeout != 0 ? request.timeout : options_.defaultTimeoutSeconds,
      options_.caFile, headerLines.get(),
      exchange,        errorText};

  // Declared after everything the handle points into, so it is reset before those go.
  const Handles handles = TakeHandles();
  if (handles.easy == nullptr) {
    return Failure("The request was not sent: libcurl could not create a handle");
  }
  struct Lease {  // gives the handles back on every way out
    CurlTransport* transport;
    Handles handles;
    ~Lease() { transport->ReturnHandles(handles); }
  } lease{this, handles};
  if (const CURLcode set = SetOptions(handles.easy, transfer); set != CURLE_OK) {
    return Failure(std::string("The request was not sent: libcurl refused an option: ") +
                   curl_easy_strerror(set));
  }

  Outcome outcome;
  {
    struct Active {  // Abort can wake the transfer while it is registered here
      CurlTransport* transport;
      void* multi;
      ~Active() {
        std::lock_guard lock(transport->activeMutex_);
        std::erase(transport->activeMultis_, multi);
      }
    };
    {
      std::lock_guard lock(activeMutex_);
      activeMultis_.push_back(handles.multi);
    }
    const Active active{this, handles.multi};
    outcome = Perform(handles.multi, handles.easy, aborted_);
  }
  return AnswerOf(outcome, handles.easy, exchange, errorText);
}

}  // namespace Oxle::Client::Host::Cli
