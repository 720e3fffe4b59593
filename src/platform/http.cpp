#include "platform/http.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>

#include <fmt/format.h>

#include "platform/ascii.hpp"

namespace qv::platform {

namespace {

// Overrides that only the test suite sets (declared in its own header, never
// reachable from the configuration file or the environment): a certificate
// authority file to trust in place of the system store, and a shorter stall
// limit so that a silent server fails within seconds.
std::mutex g_test_mutex;
std::string g_test_ca_file;
std::uint32_t g_test_stall_timeout_s = 0;

struct TestOverrides {
  std::string ca_file;
  std::uint32_t stall_timeout_s = 0;
};

TestOverrides test_overrides() {
  std::lock_guard lock(g_test_mutex);
  return {g_test_ca_file, g_test_stall_timeout_s};
}

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) std::abort();
  });
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

// The state of one transfer, shared with the two callbacks.
struct Transfer {
  CURL* easy = nullptr;
  HttpReceiver* receiver = nullptr;
  HttpResponseHead head;
  bool head_delivered = false;
  std::optional<std::uint64_t> remaining;  // body bytes still wanted, when the receiver knows and no coding frames them
  bool finished = false;                   // we ended the transfer because the body was complete
  std::optional<Error> error;              // the receiver's error that ended the transfer
  std::exception_ptr exception;            // thrown by the receiver; rethrown once libcurl has returned
};

// Returning a count other than the one given makes libcurl end the transfer
// with a write error; `finished` or `error` then tells why.
constexpr std::size_t kStop = 0;

std::size_t header_line(Transfer& t, char* data, std::size_t length) {
  std::string_view line(data, length);
  if (line.starts_with("HTTP/")) {
    // A new response head begins (after an interim 1xx one, start afresh).
    t.head = HttpResponseHead{};
    long code = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &code);
    t.head.status = static_cast<std::uint32_t>(code);
    return length;
  }
  if (trim_blanks(line).empty()) {
    // An interim head: the final one follows. Not a 101, which libcurl takes
    // for the end of the heads when it asked for no switch: it is the answer.
    if (t.head.status >= 100 && t.head.status < 200 && t.head.status != 101) return length;
    if (t.head_delivered) return length;  // trailers of a chunked body
    t.head_delivered = true;
    auto wanted = t.receiver->on_head(t.head);
    if (!wanted) {
      t.error = std::move(wanted).error();
      return kStop;
    }
    // A transfer coding frames the body itself and overrides any length:
    // stopping at the length would report a body cut short as complete.
    if (!t.head.value("Transfer-Encoding")) t.remaining = *wanted;
    if (t.remaining && *t.remaining == 0) {
      t.finished = true;
      return kStop;
    }
    return length;
  }
  if ((line.front() == ' ' || line.front() == '\t') && !t.head.headers.empty()) {
    // An obsolete folded continuation of the previous field.
    auto& value = t.head.headers.back().second;
    value += ' ';
    value += trim_blanks(line);
    return length;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return length;
  t.head.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim_blanks(line.substr(colon + 1))));
  return length;
}

std::size_t body_bytes(Transfer& t, char* data, std::size_t length) {
  if (!t.head_delivered) return length;  // cannot happen: the head always comes first
  std::size_t take = length;
  if (t.remaining) take = static_cast<std::size_t>(std::min<std::uint64_t>(take, *t.remaining));
  // Delivered in the chunks libcurl hands over, which its buffer size bounds.
  for (std::size_t done = 0; done < take;) {
    const std::size_t chunk = std::min(take - done, kHttpMaxChunk);
    if (auto status = t.receiver->on_body(data + done, chunk); !status) {
      t.error = std::move(status).error();
      return kStop;
    }
    done += chunk;
  }
  if (t.remaining) {
    *t.remaining -= take;
    if (*t.remaining == 0) {
      // Without our stop libcurl would wait for the server to close a
      // kept-alive connection, since it is told to ignore the length.
      t.finished = true;
      return kStop;
    }
  }
  return length;
}

// No exception may unwind through libcurl's C frames: it is parked and
// rethrown on our side of curl_easy_perform.
template <std::size_t (*Handle)(Transfer&, char*, std::size_t)>
std::size_t guarded(char* data, std::size_t size, std::size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  try {
    return Handle(t, data, size * count);
  } catch (...) {
    t.exception = std::current_exception();
    return kStop;
  }
}

// The transfer-information callback: lets the receiver end a transfer that
// is waiting for bytes, which the body callback alone cannot.
int transfer_info(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& t = *static_cast<Transfer*>(user);
  // Only once the head was judged: a refusal of the answer itself comes first.
  // Nor after the transfer was already ended for a reason of its own.
  if (!t.head_delivered || t.error || t.finished || t.exception) return 0;
  try {
    if (auto status = t.receiver->keep_going(); !status) {
      t.error = std::move(status).error();
      return 1;
    }
  } catch (...) {
    t.exception = std::current_exception();
    return 1;
  }
  return 0;
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

Error transport_error(CURLcode code, const char* detail) {
  const std::string_view text =
      (detail != nullptr && detail[0] != '\0') ? std::string_view(detail) : curl_easy_strerror(code);
  return Error(fmt::format("libcurl: {} (curl error {})", trim_blanks(text), static_cast<int>(code)));
}

}  // namespace

std::optional<std::string> HttpResponseHead::value(std::string_view name) const {
  std::optional<std::string> joined;
  for (const auto& [field, text] : headers) {
    if (!equals_ignoring_ascii_case(field, name)) continue;
    if (joined) {
      *joined += ", ";
      *joined += text;
    } else {
      joined = text;
    }
  }
  return joined;
}

// Test-only entry points; their declarations live in the test suite's support
// folder so that nothing else can reach them.
void set_http_test_trust_anchor(const std::string& ca_file) {
  std::lock_guard lock(g_test_mutex);
  g_test_ca_file = ca_file;
}

void set_http_test_stall_timeout(std::uint32_t seconds) {
  std::lock_guard lock(g_test_mutex);
  g_test_stall_timeout_s = seconds;
}

Status http_get(const HttpGetRequest& request, HttpReceiver& receiver) {
  global_init_once();
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return fail(transport_error(CURLE_OUT_OF_MEMORY, nullptr));

  curl_slist* raw_list = curl_slist_append(nullptr, "Accept:");  // drop libcurl's default Accept
  std::unique_ptr<curl_slist, ListDeleter> list(raw_list);
  for (const auto& line : request.headers) {
    if (!raw_list) break;
    raw_list = curl_slist_append(raw_list, line.c_str());
  }
  if (!raw_list) return fail(transport_error(CURLE_OUT_OF_MEMORY, nullptr));

  const TestOverrides overrides = test_overrides();
  const long stall_s = overrides.stall_timeout_s != 0 ? overrides.stall_timeout_s : request.stall_timeout_s;

  Transfer transfer;
  transfer.easy = easy.get();
  transfer.receiver = &receiver;
  char detail[CURL_ERROR_SIZE] = {};

  CURL* h = easy.get();
  CURLcode set = CURLE_OK;
  auto opt = [&](CURLoption option, auto value) {
    if (set == CURLE_OK) set = curl_easy_setopt(h, option, value);
  };
  opt(CURLOPT_ERRORBUFFER, detail);
  opt(CURLOPT_URL, request.url.c_str());
  opt(CURLOPT_PROTOCOLS_STR, "http,https");
  opt(CURLOPT_HTTPGET, 1L);
  opt(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  opt(CURLOPT_FOLLOWLOCATION, 0L);
  // A proxy's answer to CONNECT is not the server's response: the callbacks
  // must see only the latter.
  opt(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  opt(CURLOPT_PATH_AS_IS, 1L);  // the URL is already normalised; send its path as it stands
  opt(CURLOPT_USERAGENT, request.user_agent.c_str());
  opt(CURLOPT_HTTPHEADER, raw_list);
  // Bodies are stored exactly as sent: no Accept-Encoding negotiation and no
  // decoding. Chunked transfer framing is still undone, as it must be.
  opt(CURLOPT_HTTP_CONTENT_DECODING, 0L);
  // The receiver parses the length itself (its own error texts); libcurl
  // would refuse a malformed one first with a text of its own.
  opt(CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  opt(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  opt(CURLOPT_SSL_VERIFYPEER, 1L);
  opt(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!overrides.ca_file.empty()) opt(CURLOPT_CAINFO, overrides.ca_file.c_str());
  opt(CURLOPT_NOSIGNAL, 1L);
  opt(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connect_timeout_ms));
  opt(CURLOPT_LOW_SPEED_LIMIT, 1L);
  opt(CURLOPT_LOW_SPEED_TIME, stall_s);
  opt(CURLOPT_BUFFERSIZE, static_cast<long>(kHttpMaxChunk));
  opt(CURLOPT_HEADERFUNCTION, &guarded<&header_line>);
  opt(CURLOPT_HEADERDATA, &transfer);
  opt(CURLOPT_WRITEFUNCTION, &guarded<&body_bytes>);
  opt(CURLOPT_WRITEDATA, &transfer);
  opt(CURLOPT_XFERINFOFUNCTION, &transfer_info);
  opt(CURLOPT_XFERINFODATA, &transfer);
  opt(CURLOPT_NOPROGRESS, 0L);
  if (set != CURLE_OK) return fail(transport_error(set, nullptr));

  const CURLcode code = curl_easy_perform(h);
  if (transfer.exception) std::rethrow_exception(transfer.exception);
  if (transfer.error) return fail(*std::move(transfer.error));
  if (transfer.finished) return {};
  // Without a final head the receiver has judged nothing: never a success.
  if (!transfer.head_delivered) {
    return fail(code == CURLE_OK ? transport_error(CURLE_WEIRD_SERVER_REPLY, "no final response head")
                                 : transport_error(code, detail));
  }
  if (code == CURLE_OK) return {};
  // The server closed a chunked body before its end: what arrived was
  // delivered, and the receiver's size checks judge it.
  if (code == CURLE_PARTIAL_FILE) return {};
  return fail(transport_error(code, detail));
}

}  // namespace qv::platform
