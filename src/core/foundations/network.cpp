#include "core/foundations/network.hpp"

#include <chrono>
#include <string>
#include <thread>

#include <fmt/format.h>

#include "core/foundations/diagnostics.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/number_text.hpp"
#include "core/foundations/paths.hpp"
#include "core/foundations/url.hpp"
#include "platform/durable.hpp"
#include "platform/fd.hpp"
#include "platform/folder.hpp"
#include "platform/http.hpp"

namespace qv {

namespace fs = std::filesystem;

namespace {

namespace text {
constexpr std::string_view kPartialTooLarge = "existing partial too large";
constexpr std::string_view kNoHost = "host";
constexpr std::string_view kNoPort = "port";
constexpr std::string_view kUnsolicitedRange = "unsolicited/unknown-length range response";
constexpr std::string_view kInvalidContentRange = "invalid Content-Range: {}";
constexpr std::string_view kRefusedStatus = "HTTP {}; redirects are not followed";
constexpr std::string_view kInvalidContentLength = "invalid Content-Length";
constexpr std::string_view kLengthOverLimit = "Content-Length exceeds allowed size";
constexpr std::string_view kLengthNotSigned = "Content-Length differs from signed object size";
constexpr std::string_view kCancelled = "cancelled; partial retained";
constexpr std::string_view kSizeOverflow = "size overflow";
constexpr std::string_view kOverDeclared = "response exceeds declared size";
constexpr std::string_view kTruncatedBody = "truncated HTTP response body";
constexpr std::string_view kTruncatedDownload = "truncated download";
constexpr std::string_view kCannotPersist = "{}; cannot persist download error";
constexpr std::string_view kRecordContext = "download";
constexpr std::string_view kRecord = "attempt {}: {}: {}";
constexpr std::string_view kUserAgent = "QVLauncher/0.1";
constexpr std::string_view kManifestFragment = ".manifest-fragment";
constexpr std::string_view kRangeRestarted = ".range-restarted";
constexpr std::string_view kLinkedPartial = ".invalid";
}  // namespace text

constexpr int kAttempts = 3;
// Downloads are readable by everyone and writable by their owner, under the
// umask.
constexpr std::uint32_t kNewFileMode = 0644;
constexpr std::chrono::milliseconds kPauseStep{300};
// Name resolution plus TCP connect (10 s each); the handshake falls inside too.
constexpr std::uint32_t kConnectTimeoutMs = 20000;
// No byte for this long while sending or receiving ends the attempt.
constexpr std::uint32_t kStallTimeoutS = 30;

// A partial download that cannot be continued is kept beside the destination
// under a fresh name, never deleted: its owner's cleanup removes the folder.
// "manifest.qvm" -> "manifest.{32 hex}{suffix}"; a name without an extension
// gets the digits and the suffix added.
fs::path set_aside_path(const fs::path& destination, std::string_view suffix) {
  fs::path path = destination;
  std::string extension = ".";
  extension += random_hex_id();
  extension += suffix;
  path.replace_extension(extension);
  return path;
}

// A decimal unsigned 64-bit number with an optional leading "+".
Result<std::uint64_t> parse_content_length(std::string_view value) {
  auto parsed = parse_u64(value);
  if (!parsed) return fail(parsed.error().context(std::string(text::kInvalidContentLength)));
  return parsed;
}

// The folder whose ".launcher" holds the destination, if any: the first of the
// destination and its ancestors named exactly ".launcher" decides.
std::optional<fs::path> record_root(const fs::path& destination) {
  for (fs::path p = destination; !p.empty(); p = p.parent_path()) {
    if (p.filename() == ".launcher") return p.parent_path();
    if (p == p.parent_path()) break;
  }
  return std::nullopt;
}

// Judges one response and streams its body into the destination.
class AttemptReceiver final : public platform::HttpReceiver {
 public:
  AttemptReceiver(const fs::path& destination, const EntryFolder& entry, std::uint64_t offset,
                  std::optional<std::uint64_t> expected_size, std::uint64_t size_limit, const CancelFlag& cancel,
                  const ByteProgress& progress)
      : destination_(destination),
        entry_(entry),
        offset_(offset),
        expected_(expected_size),
        limit_(size_limit),
        cancel_(cancel),
        progress_(progress) {}

  Result<std::optional<std::uint64_t>> on_head(const platform::HttpResponseHead& head) override {
    if (head.status == 200) {
      if (offset_ > 0) {
        // The server ignored the range; its body is the whole file.
        QV_TRY(replace_file(destination_, set_aside_path(destination_, text::kRangeRestarted)));
        offset_ = 0;
      }
    } else if (head.status == 206) {
      if (!expected_ || offset_ == 0) return fail(std::string(text::kUnsolicitedRange));
      const std::string wanted = fmt::format("bytes {}-{}/{}", offset_, *expected_ - 1, *expected_);
      const auto received = head.value("Content-Range");
      if (!received || *received != wanted)
        return fail(fmt::format(fmt::runtime(text::kInvalidContentRange), received.value_or("")));
    } else {
      return fail(fmt::format(fmt::runtime(text::kRefusedStatus), head.status));
    }

    // Repeated fields count as one, their values joined: two lengths that
    // disagree are no decimal number, and neither of them is taken on trust.
    if (const auto value = head.value("Content-Length")) {
      const std::uint64_t length = QV_TRY(parse_content_length(*value));
      std::uint64_t end = 0;
      if (__builtin_add_overflow(offset_, length, &end) || end > limit_)
        return fail(std::string(text::kLengthOverLimit));
      if (expected_ && end != *expected_) return fail(std::string(text::kLengthNotSigned));
      content_length_ = length;
    }

    // Never blocks: whatever else was planted under the name since the size
    // was read (a pipe, a device) is refused instead of waited on.
    file_ = QV_TRY(entry_.folder.open_for_append(entry_.name, kNewFileMode)).fd;
    total_ = offset_;
    if (cancel_.is_cancelled()) return fail(std::string(text::kCancelled));
    return content_length_;
  }

  Status on_body(const char* data, std::size_t size) override {
    std::uint64_t next = 0;
    if (__builtin_add_overflow(total_, static_cast<std::uint64_t>(size), &next))
      return fail(std::string(text::kSizeOverflow));
    if (next > limit_ || (expected_ && next > *expected_)) return fail(std::string(text::kOverDeclared));
    QV_TRY(platform::write_all(file_.get(), data, size));
    total_ = next;
    if (progress_) progress_(total_);
    // Checked before the next read, the one that finds the end included.
    if (cancel_.is_cancelled()) return fail(std::string(text::kCancelled));
    return {};
  }

  // A cancel is seen within about a second even while the server sends
  // nothing, not only when the next bytes arrive.
  Status keep_going() override {
    if (cancel_.is_cancelled()) return fail(std::string(text::kCancelled));
    return {};
  }

  // The checks once the body has ended.
  Status finish() {
    QV_TRY(platform::flush_fd(file_.get()));
    // The file may be new (here, or in an earlier attempt that failed before
    // its end): its folder entry must reach the disk as well.
    QV_TRY(entry_.folder.flush());
    if (content_length_ && total_ - offset_ != *content_length_) return fail(std::string(text::kTruncatedBody));
    if (expected_ && total_ != *expected_) return fail(std::string(text::kTruncatedDownload));
    return {};
  }

 private:
  const fs::path& destination_;
  const EntryFolder& entry_;
  std::uint64_t offset_;  // where this response's body starts in the file
  std::optional<std::uint64_t> expected_;
  std::uint64_t limit_;
  const CancelFlag& cancel_;
  const ByteProgress& progress_;
  std::optional<std::uint64_t> content_length_;
  std::uint64_t total_ = 0;
  platform::UniqueFd file_;
};

Status attempt_download(std::string_view url, const fs::path& destination, std::optional<std::uint64_t> expected_size,
                        std::uint64_t size_limit, bool allow_loopback_http, const CancelFlag& cancel,
                        const ByteProgress& progress) {
  const Url parsed = QV_TRY(check_url(url, allow_loopback_http));
  QV_TRY(reject_reparse_points(destination));
  // The destination's folder is resolved once: the file is sized, created and
  // flushed in the folder that was checked.
  const auto entry = QV_TRY(open_entry_folder(destination, /*create=*/true));

  // Only a missing file counts as empty. Taking any other failure for size 0
  // would append the body after bytes of unknown length, and the size checks
  // at the end would then pass a file that is too long; anything but a
  // regular file (a folder, a pipe that would block the write) is refused
  // before a request is made.
  const auto existing = QV_TRY(entry.folder.regular_file_info(entry.name));
  const std::uint64_t size = existing ? existing->size : 0;
  if (size > size_limit) return fail(std::string(text::kPartialTooLarge));
  if (expected_size && *expected_size == size) return {};
  std::uint64_t offset = size;
  if (existing && existing->links > 1) {
    // A second name of the partial lies elsewhere: appending would write
    // into whatever file that is. Set aside like a corrupt object, and the
    // body fetched whole into a file of its own.
    QV_TRY(replace_file(destination, set_aside_path(destination, text::kLinkedPartial)));
    offset = 0;
  } else if (!expected_size && size > 0) {
    // Without a signed size nothing proves the partial belongs to this body.
    QV_TRY(replace_file(destination, set_aside_path(destination, text::kManifestFragment)));
    offset = 0;
  }

  if (!parsed.host) return fail(std::string(text::kNoHost));
  const auto port = parsed.port_or_default();
  if (!port) return fail(std::string(text::kNoPort));
  std::string target = parsed.path;
  if (parsed.query) target += "?" + *parsed.query;

  platform::HttpGetRequest request;
  request.url = fmt::format("{}://{}:{}{}", parsed.scheme, *parsed.host, *port, target);
  request.user_agent = std::string(text::kUserAgent);
  request.headers.emplace_back("Accept-Encoding: identity");
  if (offset > 0) request.headers.push_back(fmt::format("Range: bytes={}-", offset));
  request.connect_timeout_ms = kConnectTimeoutMs;
  request.stall_timeout_s = kStallTimeoutS;

  AttemptReceiver receiver(destination, entry, offset, expected_size, size_limit, cancel, progress);
  QV_TRY(platform::http_get(request, receiver));
  return receiver.finish();
}

}  // namespace

Status download_file(std::string_view url, const fs::path& destination, std::optional<std::uint64_t> expected_size,
                     std::uint64_t size_limit, bool allow_loopback_http, const CancelFlag& cancel,
                     const ByteProgress& progress) {
  const std::optional<fs::path> root = record_root(destination);
  for (int attempt = 1;; ++attempt) {
    auto result = attempt_download(url, destination, expected_size, size_limit, allow_loopback_http, cancel, progress);
    if (result) return {};
    const Error error = std::move(result).error();
    if (root) {
      const std::string message =
          fmt::format(fmt::runtime(text::kRecord), attempt, destination.string(), error.to_string());
      if (!append_error_record(*root, text::kRecordContext, message))
        return fail(fmt::format(fmt::runtime(text::kCannotPersist), error.to_string()));
    }
    if (cancel.is_cancelled() || attempt == kAttempts) return fail(error);
    std::this_thread::sleep_for(kPauseStep * attempt);
  }
}

}  // namespace qv
