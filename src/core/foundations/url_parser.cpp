// The basic URL parser: a state machine over the code points of the input,
// with the states of the WHATWG URL standard.
#include <cstddef>
#include <string>
#include <vector>

#include "core/foundations/unicode.hpp"
#include "core/foundations/url.hpp"
#include "core/foundations/url_internal.hpp"

namespace qv {
namespace {

using url_detail::EncodeSet;

constexpr char32_t kEof = 0xFFFFFFFF;

enum class State {
  SchemeStart,
  Scheme,
  NoScheme,
  SpecialRelativeOrAuthority,
  PathOrAuthority,
  Relative,
  RelativeSlash,
  SpecialAuthoritySlashes,
  SpecialAuthorityIgnoreSlashes,
  Authority,
  Host,
  Port,
  PathStart,
  File,
  FileSlash,
  FileHost,
  Path,
  OpaquePath,
  Query,
  Fragment,
};

bool is_ascii_alpha(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }
char32_t ascii_lower(char32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

bool equals_ascii_ci(const std::u32string& text, std::u32string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

// "%2e" counts as a dot so that an encoded ".." cannot slip past path
// normalisation and climb out of a folder on the server.
bool is_single_dot(const std::u32string& s) { return s == U"." || equals_ascii_ci(s, U"%2e"); }
bool is_double_dot(const std::u32string& s) {
  return s == U".." || equals_ascii_ci(s, U".%2e") || equals_ascii_ci(s, U"%2e.") || equals_ascii_ci(s, U"%2e%2e");
}

// "C:" or "C|": file URLs keep a drive letter as the root of their path.
bool is_windows_drive_letter(char32_t first, char32_t second) {
  return is_ascii_alpha(first) && (second == ':' || second == '|');
}
bool is_windows_drive_letter(const std::u32string& s) { return s.size() == 2 && is_windows_drive_letter(s[0], s[1]); }
bool is_normalized_windows_drive_letter(std::string_view s) {
  return s.size() == 2 && is_ascii_alpha(static_cast<unsigned char>(s[0])) && s[1] == ':';
}

std::string to_utf8(const std::u32string& s) {
  std::string out;
  for (char32_t c : s) append_utf8(out, c);
  return out;
}

std::string encode(const std::u32string& s, EncodeSet set) {
  std::string out;
  for (char32_t c : s) url_detail::append_percent_encoded(out, c, set);
  return out;
}

// Leading and trailing C0 controls and spaces go, and so do tabs and line
// breaks anywhere: URLs pasted from wrapped text still parse.
std::u32string preprocess(std::string_view input) {
  const std::u32string cps = url_detail::decode_utf8(input);
  std::size_t begin = 0;
  std::size_t end = cps.size();
  while (begin < end && cps[begin] <= 0x20) ++begin;
  while (end > begin && cps[end - 1] <= 0x20) --end;
  std::u32string out;
  out.reserve(end - begin);
  for (std::size_t i = begin; i < end; ++i) {
    if (cps[i] != '\t' && cps[i] != '\n' && cps[i] != '\r') out += cps[i];
  }
  return out;
}

bool has_opaque_path(const Url& url) { return !url.host && !url.path.starts_with('/'); }

std::vector<std::string> split_path(std::string_view path) {
  std::vector<std::string> segments;
  if (path.empty()) return segments;
  std::size_t start = 1;  // past the leading "/"
  for (;;) {
    std::size_t slash = path.find('/', start);
    segments.emplace_back(path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
    if (slash == std::string_view::npos) return segments;
    start = slash + 1;
  }
}

class Parser {
 public:
  Parser(std::u32string input, const Url* base, std::string* written_host)
      : in_(std::move(input)), base_(base), written_host_(written_host) {}

  Result<Url> run() {
    const auto size = static_cast<std::ptrdiff_t>(in_.size());
    for (;;) {
      QV_TRY(step(at(p_)));
      if (p_ >= size) break;
      ++p_;
    }
    if (!opaque_) {
      url_.path.clear();
      for (const std::string& segment : segments_) {
        url_.path += '/';
        url_.path += segment;
      }
    }
    return std::move(url_);
  }

 private:
  char32_t at(std::ptrdiff_t i) const {
    return i >= 0 && i < static_cast<std::ptrdiff_t>(in_.size()) ? in_[static_cast<std::size_t>(i)] : kEof;
  }
  char32_t next() const { return at(p_ + 1); }
  bool special() const { return url_detail::is_special(url_.scheme); }
  // A path or authority delimiter; a backslash counts as a slash in special URLs.
  bool is_slash(char32_t c) const { return c == '/' || (special() && c == '\\'); }
  bool ends_authority(char32_t c) const { return c == kEof || c == '?' || c == '#' || is_slash(c); }

  // Switches state and hands the current code point to the new state again.
  void reconsume_in(State next_state) {
    state_ = next_state;
    --p_;
  }

  // A "?" or "#" seen: the component is present from here on, even if empty.
  void begin_query() {
    url_.query = "";
    state_ = State::Query;
  }
  void begin_fragment() {
    url_.fragment = "";
    state_ = State::Fragment;
  }

  // True when the input from `from` on begins with a drive letter that stands
  // alone as a path segment.
  bool starts_with_windows_drive_letter(std::ptrdiff_t from) const {
    const char32_t after = at(from + 2);
    return is_windows_drive_letter(at(from), at(from + 1)) &&
           (after == kEof || after == '/' || after == '\\' || after == '?' || after == '#');
  }

  bool base_is_file() const { return base_ != nullptr && base_->scheme == "file"; }

  void shorten_path() {
    // ".." never climbs above a file URL's drive letter.
    if (url_.scheme == "file" && segments_.size() == 1 && is_normalized_windows_drive_letter(segments_[0])) return;
    if (!segments_.empty()) segments_.pop_back();
  }

  void copy_authority_from_base() {
    url_.username = base_->username;
    url_.password = base_->password;
    url_.host = base_->host;
    url_.port = base_->port;
  }

  // A reference without an authority: it keeps the base's path and query
  // unless it brings its own, and a path replaces the base's last segment.
  void continue_from_base_path(char32_t c) {
    segments_ = split_path(base_->path);
    url_.query = base_->query;
    if (c == '?') {
      begin_query();
    } else if (c == '#') {
      begin_fragment();
    } else if (c != kEof) {
      url_.query.reset();
      // A file reference that starts with its own drive letter starts afresh.
      if (url_.scheme == "file" && starts_with_windows_drive_letter(p_)) {
        segments_.clear();
      } else {
        shorten_path();
      }
      reconsume_in(State::Path);
    }
  }

  Status failure(std::string_view text) { return fail(std::string(text)); }

  // The host state's buffer is the whole host as written: parse it.
  Status take_host() {
    std::string written = to_utf8(buffer_);
    url_.host = QV_TRY(url_detail::parse_host(written, !special()));
    if (written_host_ != nullptr) *written_host_ = std::move(written);
    buffer_.clear();
    return {};
  }

  Status step(char32_t c) {
    switch (state_) {
      case State::SchemeStart:
        if (is_ascii_alpha(c)) {
          buffer_ += ascii_lower(c);
          state_ = State::Scheme;
        } else {
          reconsume_in(State::NoScheme);
        }
        return {};

      case State::Scheme:
        if (is_ascii_alpha(c) || is_ascii_digit(c) || c == '+' || c == '-' || c == '.') {
          buffer_ += ascii_lower(c);
          return {};
        }
        if (c == ':') {
          url_.scheme = to_utf8(buffer_);
          buffer_.clear();
          if (url_.scheme == "file") {
            state_ = State::File;
          } else if (special() && base_ != nullptr && base_->scheme == url_.scheme) {
            state_ = State::SpecialRelativeOrAuthority;
          } else if (special()) {
            state_ = State::SpecialAuthoritySlashes;
          } else if (next() == '/') {
            state_ = State::PathOrAuthority;
            ++p_;
          } else {
            opaque_ = true;
            state_ = State::OpaquePath;
          }
          return {};
        }
        // Not a scheme after all: read the whole input again as relative.
        buffer_.clear();
        url_.scheme.clear();
        state_ = State::NoScheme;
        p_ = -1;
        return {};

      case State::NoScheme:
        if (base_ == nullptr) return failure(url_detail::kRelativeWithoutBase);
        if (has_opaque_path(*base_)) {
          if (c != '#') return failure(url_detail::kOpaqueBase);
          url_.scheme = base_->scheme;
          url_.path = base_->path;
          opaque_ = true;
          url_.query = base_->query;
          begin_fragment();
          return {};
        }
        reconsume_in(base_is_file() ? State::File : State::Relative);
        return {};

      case State::SpecialRelativeOrAuthority:
        if (c == '/' && next() == '/') {
          state_ = State::SpecialAuthorityIgnoreSlashes;
          ++p_;
        } else {
          reconsume_in(State::Relative);
        }
        return {};

      case State::PathOrAuthority:
        if (c == '/') {
          state_ = State::Authority;
        } else {
          reconsume_in(State::Path);
        }
        return {};

      case State::Relative:
        url_.scheme = base_->scheme;
        if (is_slash(c)) {
          state_ = State::RelativeSlash;
          return {};
        }
        copy_authority_from_base();
        continue_from_base_path(c);
        return {};

      case State::RelativeSlash:
        if (special() && (c == '/' || c == '\\')) {
          state_ = State::SpecialAuthorityIgnoreSlashes;
        } else if (c == '/') {
          state_ = State::Authority;
        } else {
          copy_authority_from_base();
          reconsume_in(State::Path);
        }
        return {};

      case State::SpecialAuthoritySlashes:
        state_ = State::SpecialAuthorityIgnoreSlashes;
        if (c == '/' && next() == '/') {
          ++p_;
        } else {
          --p_;
        }
        return {};

      case State::SpecialAuthorityIgnoreSlashes:
        if (c != '/' && c != '\\') {
          reconsume_in(State::Authority);
        }
        return {};

      case State::Authority:
        if (c == '@') {
          // Only the last "@" ends the credentials; earlier ones belong to them.
          if (at_sign_seen_) buffer_.insert(0, U"%40");
          at_sign_seen_ = true;
          for (char32_t cp : buffer_) {
            if (cp == ':' && !password_token_seen_) {
              password_token_seen_ = true;
              if (!url_.password) url_.password = "";
              continue;
            }
            std::string& target = password_token_seen_ ? *url_.password : url_.username;
            url_detail::append_percent_encoded(target, cp, EncodeSet::Userinfo);
          }
          buffer_.clear();
        } else if (ends_authority(c)) {
          if (at_sign_seen_ && buffer_.empty()) return failure(url_detail::kEmptyHost);
          p_ -= static_cast<std::ptrdiff_t>(buffer_.size()) + 1;
          buffer_.clear();
          state_ = State::Host;
        } else {
          buffer_ += c;
        }
        return {};

      case State::Host:
        if (c == ':' && !inside_brackets_) {
          if (buffer_.empty()) return failure(url_detail::kEmptyHost);
          QV_TRY(take_host());
          state_ = State::Port;
        } else if (ends_authority(c)) {
          --p_;
          if (special() && buffer_.empty()) return failure(url_detail::kEmptyHost);
          QV_TRY(take_host());
          state_ = State::PathStart;
        } else {
          if (c == '[') inside_brackets_ = true;
          if (c == ']') inside_brackets_ = false;
          buffer_ += c;
        }
        return {};

      case State::Port:
        if (is_ascii_digit(c)) {
          buffer_ += c;
        } else if (ends_authority(c)) {
          if (!buffer_.empty()) {
            // Leading zeros are allowed, so the digit count says nothing;
            // stop accumulating once past the range instead of overflowing.
            unsigned long value = 0;
            for (char32_t d : buffer_) {
              value = value * 10 + (d - '0');
              if (value > 65535) return failure(url_detail::kInvalidPort);
            }
            const int default_port = url_detail::default_port(url_.scheme);
            if (static_cast<int>(value) == default_port) {
              url_.port.reset();
            } else {
              url_.port = static_cast<std::uint16_t>(value);
            }
            buffer_.clear();
          }
          reconsume_in(State::PathStart);
        } else {
          return failure(url_detail::kInvalidPort);
        }
        return {};

      case State::PathStart:
        if (special()) {
          state_ = State::Path;
          if (c != '/' && c != '\\') --p_;
        } else if (c == '?') {
          begin_query();
        } else if (c == '#') {
          begin_fragment();
        } else if (c != kEof) {
          state_ = State::Path;
          if (c != '/') --p_;
        }
        return {};

      case State::File:
        url_.scheme = "file";
        url_.host = "";
        if (c == '/' || c == '\\') {
          state_ = State::FileSlash;
        } else if (base_is_file()) {
          url_.host = base_->host;
          continue_from_base_path(c);
        } else {
          reconsume_in(State::Path);
        }
        return {};

      case State::FileSlash:
        if (c == '/' || c == '\\') {
          state_ = State::FileHost;
          return {};
        }
        if (base_is_file()) {
          url_.host = base_->host;
          const std::vector<std::string> base_segments = split_path(base_->path);
          if (!starts_with_windows_drive_letter(p_) && !base_segments.empty() &&
              is_normalized_windows_drive_letter(base_segments[0])) {
            segments_.push_back(base_segments[0]);
          }
        }
        reconsume_in(State::Path);
        return {};

      case State::FileHost:
        if (c == kEof || c == '/' || c == '\\' || c == '?' || c == '#') {
          --p_;
          if (is_windows_drive_letter(buffer_)) {
            // "file://C:/x": the drive letter is the path's first segment, so
            // the buffer carries over into the path state.
            state_ = State::Path;
          } else if (buffer_.empty()) {
            url_.host = "";
            state_ = State::PathStart;
          } else {
            std::string host = QV_TRY(url_detail::parse_host(to_utf8(buffer_), false));
            if (host == "localhost") host.clear();
            url_.host = std::move(host);
            buffer_.clear();
            state_ = State::PathStart;
          }
        } else {
          buffer_ += c;
        }
        return {};

      case State::Path:
        if (c == kEof || is_slash(c) || c == '?' || c == '#') {
          const bool slash = is_slash(c);
          if (is_double_dot(buffer_)) {
            shorten_path();
            if (!slash) segments_.emplace_back();
          } else if (is_single_dot(buffer_)) {
            if (!slash) segments_.emplace_back();
          } else {
            if (url_.scheme == "file" && segments_.empty() && is_windows_drive_letter(buffer_)) buffer_[1] = ':';
            segments_.push_back(encode(buffer_, EncodeSet::Path));
          }
          buffer_.clear();
          if (c == '?') {
            begin_query();
          } else if (c == '#') {
            begin_fragment();
          }
        } else {
          buffer_ += c;
        }
        return {};

      case State::OpaquePath:
        if (c == '?') {
          begin_query();
        } else if (c == '#') {
          begin_fragment();
        } else if (c != kEof) {
          url_detail::append_percent_encoded(url_.path, c, EncodeSet::C0Control);
        }
        return {};

      case State::Query:
        if (c == '#') {
          begin_fragment();
        } else if (c != kEof) {
          url_detail::append_percent_encoded(*url_.query, c, special() ? EncodeSet::SpecialQuery : EncodeSet::Query);
        }
        return {};

      case State::Fragment:
        if (c != kEof) url_detail::append_percent_encoded(*url_.fragment, c, EncodeSet::Fragment);
        return {};
    }
    return {};
  }

  std::u32string in_;
  const Url* base_;
  std::string* written_host_;
  Url url_;
  std::vector<std::string> segments_;
  bool opaque_ = false;  // url_.path is an opaque path, not built from segments_
  State state_ = State::SchemeStart;
  std::ptrdiff_t p_ = 0;
  std::u32string buffer_;
  bool at_sign_seen_ = false;
  bool inside_brackets_ = false;
  bool password_token_seen_ = false;
};

}  // namespace

Result<Url> url_detail::parse_url_with_written_host(std::string_view input, const Url* base,
                                                   std::string* written_host) {
  return Parser(preprocess(input), base, written_host).run();
}

Result<Url> parse_url(std::string_view input, const Url* base) {
  return url_detail::parse_url_with_written_host(input, base, nullptr);
}

}  // namespace qv
