#include "platform/http.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
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

// A head line without its line end ("\r\n", or a bare "\n").
std::string_view without_line_end(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_field_value(std::string_view value) {
  while (!value.empty() && is_blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && is_blank(value.back())) value.remove_suffix(1);
  return value;
}

// A field name is a token: letters, digits and "!#$%&'*+-.^_`|~", nothing
// else (no blank before the colon either).
bool is_field_name(std::string_view name) {
  constexpr std::string_view kTokenMarks = "!#$%&'*+-.^_`|~";
  return !name.empty() && std::ranges::all_of(name, [&](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           kTokenMarks.find(c) != std::string_view::npos;
  });
}

// Whether `url` names its host by a loopback address (127.0.0.0/8, ::1, or
// an IPv4 loopback address mapped into IPv6). A proxy elsewhere could never
// reach this machine's loopback, and one that answers anyway is not the
// server asked for.
bool has_loopback_host(const std::string& url) {
  struct UrlDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
  };
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  char* raw_host = nullptr;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parsed.get(), CURLUPART_HOST, &raw_host, 0) != CURLUE_OK) {
    return false;
  }
  std::string host(raw_host);
  curl_free(raw_host);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    in6_addr v6{};
    if (::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6) != 1) return false;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  in_addr v4{};
  return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

// Before its head arrives, a transfer gives way to the receiver only once it
// has run this long: an answer that comes at once is judged first.
constexpr std::chrono::seconds kHeadGrace{1};

// The state of one transfer, shared with the callbacks.
struct Transfer {
  CURL* easy = nullptr;
  HttpReceiver* receiver = nullptr;
  std::chrono::steady_clock::time_point started;
  HttpResponseHead head;
  bool in_head = false;  // a status line was read, the empty line that ends its head not yet
  bool head_delivered = false;
  std::optional<std::uint64_t> remaining;  // body bytes still wanted, when the receiver knows and no coding frames them
  bool finished = false;                   // we ended the transfer because the body was complete
  std::optional<Error> error;              // the receiver's error (or the head's refusal) that ended the transfer
  std::exception_ptr exception;            // thrown by the receiver; rethrown once libcurl has returned
};

// Returning a count other than the one given makes libcurl end the transfer
// with a write error; `finished` or `error` then tells why.
constexpr std::size_t kStop = 0;

Error transport_error(CURLcode code, const char* detail);

// A head that cannot be read field by field is no answer at all: its fields
// could mean one thing here and another to whoever framed the body.
std::size_t refuse_head(Transfer& t) {
  t.error = transport_error(CURLE_WEIRD_SERVER_REPLY, "malformed response head");
  return kStop;
}

// The end of a head: an interim one is passed over, the final one judged.
std::size_t end_head(Transfer& t, std::size_t length) {
  t.in_head = false;
  // An interim head: the final one follows. Not a 101, which libcurl takes
  // for the end of the heads when it asked for no switch: it is the answer.
  if (t.head.status >= 100 && t.head.status < 200 && t.head.status != 101) return length;
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

std::size_t header_line(Transfer& t, char* data, std::size_t length) {
  // After the final head come only the trailers of a chunked body.
  if (t.head_delivered) return length;
  const std::string_view line = without_line_end(std::string_view(data, length));
  if (!t.in_head) {
    // A head begins with its status line, and with nothing else.
    if (!line.starts_with("HTTP/")) return refuse_head(t);
    t.head = HttpResponseHead{};
    t.in_head = true;
    long code = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &code);
    t.head.status = static_cast<std::uint32_t>(code);
    return length;
  }
  // Only an empty line ends a head; a line of blanks is a folded one.
  if (line.empty()) return end_head(t, length);
  if (is_blank(line.front())) {
    // Obsolete line folding: the line continues the value of the field
    // before it, joined by one blank, as a user agent must read it. There
    // must be such a field; and the framing field is read by libcurl from
    // its first line alone, so a continued one would mean two things.
    if (t.head.headers.empty()) return refuse_head(t);
    auto& [name, value] = t.head.headers.back();
    const std::string_view more = trim_field_value(line);
    if (more.empty()) return length;
    if (equals_ignoring_ascii_case(name, "Transfer-Encoding")) return refuse_head(t);
    if (!value.empty()) value += ' ';
    value += more;
    return length;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || !is_field_name(line.substr(0, colon))) return refuse_head(t);
  t.head.headers.emplace_back(std::string(line.substr(0, colon)),
                              std::string(trim_field_value(line.substr(colon + 1))));
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
// is waiting for bytes, which the body callback alone cannot: a server that
// accepted the connection but sends no head, or stalls in the body.
int transfer_info(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& t = *static_cast<Transfer*>(user);
  // Not after the transfer was already ended for a reason of its own.
  if (t.error || t.finished || t.exception) return 0;
  // Before the head, only once the grace has passed: the refusal of an
  // answer that comes at once is reported as such.
  if (!t.head_delivered && std::chrono::steady_clock::now() - t.started < kHeadGrace) return 0;
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
  transfer.started = std::chrono::steady_clock::now();
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
  // The proxy of the environment serves every other host; an empty name
  // turns it off, whatever the environment says.
  if (has_loopback_host(request.url)) opt(CURLOPT_PROXY, "");
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
