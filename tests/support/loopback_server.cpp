#include "loopback_server.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace qv::test {

namespace {

constexpr std::size_t kChunk = 256 * 1024;

// The bytes of one entity: held in memory or streamed from a file.
struct Entity {
  std::shared_ptr<const std::string> memory;
  std::filesystem::path file;
  std::uint64_t size = 0;
};

struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;  // inclusive
  bool satisfiable = true;
};

// "bytes=N-" or "bytes=N-M"; anything else is not a range we serve.
std::optional<ByteRange> parse_range(const std::string& value, std::uint64_t size) {
  std::string_view text = value;
  if (!text.starts_with("bytes=")) return std::nullopt;
  text.remove_prefix(6);
  const auto dash = text.find('-');
  if (dash == std::string_view::npos || dash == 0) return std::nullopt;
  ByteRange range;
  auto first = text.substr(0, dash);
  auto last = text.substr(dash + 1);
  if (std::from_chars(first.data(), first.data() + first.size(), range.first).ptr != first.data() + first.size())
    return std::nullopt;
  range.last = size == 0 ? 0 : size - 1;
  if (!last.empty()) {
    std::uint64_t end = 0;
    if (std::from_chars(last.data(), last.data() + last.size(), end).ptr != last.data() + last.size())
      return std::nullopt;
    range.last = std::min(range.last, end);
  }
  range.satisfiable = range.first < size && range.first <= range.last;
  return range;
}

}  // namespace

std::optional<std::string> ReceivedRequest::header(std::string_view name) const {
  for (const auto& [field, value] : headers) {
    if (field == name) return value;
  }
  return std::nullopt;
}

struct LoopbackServer::Impl {
  Options options;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;
  std::map<std::string, std::shared_ptr<const std::string>> files;
  std::optional<std::filesystem::path> folder;
  std::map<std::string, Answer> standing;
  std::map<std::string, std::deque<Answer>> queued;
  std::vector<ReceivedRequest> log;
  std::uint64_t log_generation = 0;  // bumped when the log is cleared

  Answer take_answer(const std::string& path) {
    std::lock_guard lock(mutex);
    if (auto q = queued.find(path); q != queued.end() && !q->second.empty()) {
      Answer answer = std::move(q->second.front());
      q->second.pop_front();
      return answer;
    }
    if (auto s = standing.find(path); s != standing.end()) return s->second;
    return {};
  }

  std::optional<Entity> find_entity(const std::string& path) {
    std::lock_guard lock(mutex);
    if (auto f = files.find(path); f != files.end()) return Entity{f->second, {}, f->second->size()};
    if (folder && path.size() > 1 && path.front() == '/' && path.find("..") == std::string::npos) {
      std::filesystem::path file = *folder / path.substr(1);
      std::error_code ec;
      if (std::filesystem::is_regular_file(file, ec))
        return Entity{nullptr, file, std::filesystem::file_size(file, ec)};
    }
    return std::nullopt;
  }

  // Returns where the request stands in the log, for counting its body.
  std::pair<std::size_t, std::uint64_t> record(const httplib::Request& req) {
    ReceivedRequest entry;
    entry.method = req.method;
    entry.target = req.target;
    entry.version = req.version;
    entry.at = std::chrono::steady_clock::now();
    for (const auto& [name, value] : req.headers) {
      // The library files the connection's addresses among the fields.
      if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
      std::string lower = name;
      std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      entry.headers.emplace_back(std::move(lower), value);
    }
    std::ranges::sort(entry.headers);
    std::lock_guard lock(mutex);
    log.push_back(std::move(entry));
    return {log.size() - 1, log_generation};
  }

  void count_sent(std::pair<std::size_t, std::uint64_t> at, std::size_t bytes) {
    std::lock_guard lock(mutex);
    if (at.second == log_generation && at.first < log.size()) log[at.first].body_bytes += bytes;
  }

  // Sleeps in short steps so that stopping the server never waits on a stall.
  void pause(std::chrono::milliseconds duration) const {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!stopping.load() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  void handle(const httplib::Request& req, httplib::Response& res) {
    const auto logged = record(req);
    const Answer answer = take_answer(req.path);
    // The head goes out when the handler returns: the request has been read
    // and answered by nothing until then.
    pause(answer.head_delay);

    std::optional<Entity> entity;
    if (answer.body) {
      auto memory = std::make_shared<const std::string>(*answer.body);
      entity = Entity{memory, {}, memory->size()};
    } else {
      entity = find_entity(req.path);
    }
    int status = 200;
    if (!entity) {
      status = 404;
      auto memory = std::make_shared<const std::string>("not found\n");
      entity = Entity{memory, {}, memory->size()};
    }

    std::uint64_t first = 0;
    std::uint64_t count = entity->size;
    std::optional<std::string> content_range;
    if (status == 200 && req.has_header("Range") && !answer.ignore_range) {
      if (auto range = parse_range(req.get_header_value("Range"), entity->size)) {
        if (range->satisfiable) {
          status = 206;
          first = range->first;
          count = range->last - range->first + 1;
          content_range = "bytes " + std::to_string(range->first) + "-" + std::to_string(range->last) + "/" +
                          std::to_string(entity->size);
        } else {
          status = 416;
          count = 0;
          content_range = "bytes */" + std::to_string(entity->size);
        }
      }
    }
    if (answer.status) status = *answer.status;
    if (answer.content_range) content_range = answer.content_range;

    res.status = status;
    if (!answer.omit_content_length)
      res.set_header("Content-Length", answer.content_length.value_or(std::to_string(count)));
    if (answer.omit_content_range) content_range.reset();
    if (content_range) res.set_header("Content-Range", *content_range);
    for (const auto& [name, value] : answer.headers) res.set_header(name, value);

    // Without a declared length the library adds no framing of its own, so the
    // headers above are exactly what goes out; the body ends when we say so.
    struct Stream {
      Entity entity;
      std::uint64_t first;
      std::uint64_t count;
      Answer answer;
      int fd = -1;
      std::vector<char> buffer;
      ~Stream() {
        if (fd >= 0) ::close(fd);
      }
    };
    auto stream = std::make_shared<Stream>(Stream{*entity, first, count, answer, -1, {}});
    if (!stream->entity.memory) {
      stream->fd = ::open(stream->entity.file.c_str(), O_RDONLY | O_CLOEXEC);
      stream->buffer.resize(kChunk);
    }
    auto provider = [this, stream, logged](std::size_t sent, httplib::DataSink& sink) {
      Stream& s = *stream;
      if (s.answer.stall_after && sent == *s.answer.stall_after) pause(s.answer.stall_for);
      if (stopping.load()) return false;
      std::uint64_t limit = s.count;
      if (s.answer.close_after) limit = std::min(limit, *s.answer.close_after);
      if (s.answer.stall_after && sent < *s.answer.stall_after) limit = std::min(limit, *s.answer.stall_after);
      if (sent >= s.count) {
        sink.done();
        return true;
      }
      if (sent >= limit) return false;  // cut the connection here
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, limit - sent));
      const std::uint64_t at = s.first + sent;
      const char* data = s.entity.memory ? s.entity.memory->data() + at : s.buffer.data();
      std::size_t length = n;
      if (!s.entity.memory) {
        const ssize_t got = ::pread(s.fd, s.buffer.data(), n, static_cast<off_t>(at));
        if (got <= 0) return false;
        length = static_cast<std::size_t>(got);
      }
      if (!sink.write(data, length)) return false;
      count_sent(logged, length);
      return true;
    };
    if (answer.chunked) {
      res.set_chunked_content_provider("application/octet-stream", std::move(provider));
    } else {
      res.set_content_provider("application/octet-stream", std::move(provider));
    }
  }
};

LoopbackServer::LoopbackServer(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  if (impl_->options.https) {
    if (!impl_->options.certificate) {
      std::fprintf(stderr, "loopback server: https needs a certificate\n");
      std::abort();
    }
    impl_->server = std::make_unique<httplib::SSLServer>(impl_->options.certificate->cert_file.c_str(),
                                                         impl_->options.certificate->key_file.c_str());
  } else {
    impl_->server = std::make_unique<httplib::Server>();
  }
  httplib::Server& server = *impl_->server;
  if (!server.is_valid()) {
    std::fprintf(stderr, "loopback server: invalid server setup\n");
    std::abort();
  }
  server.set_keep_alive_max_count(1);
  server.Get(R"(.*)",
             [impl = impl_.get()](const httplib::Request& req, httplib::Response& res) { impl->handle(req, res); });
  const int port = server.bind_to_any_port(impl_->options.host);
  if (port <= 0) {
    std::fprintf(stderr, "loopback server: cannot bind %s\n", impl_->options.host.c_str());
    std::abort();
  }
  port_ = static_cast<std::uint16_t>(port);
  const bool v6 = impl_->options.host.find(':') != std::string::npos;
  origin_ = std::string(impl_->options.https ? "https://" : "http://") + (v6 ? "[" : "") + impl_->options.host +
            (v6 ? "]" : "") + ":" + std::to_string(port_);
  impl_->thread = std::thread([&server] { server.listen_after_bind(); });
  // Stopping a server that has not entered its loop yet would be lost, and
  // the destructor would wait for ever.
  for (int i = 0; i < 5000 && !server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!server.is_running()) {
    std::fprintf(stderr, "loopback server: did not start\n");
    std::abort();
  }
}

LoopbackServer::~LoopbackServer() {
  impl_->stopping.store(true);
  impl_->server->stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

void LoopbackServer::put(const std::string& path, std::string content) {
  std::lock_guard lock(impl_->mutex);
  impl_->files[path] = std::make_shared<const std::string>(std::move(content));
}

void LoopbackServer::serve_folder(const std::filesystem::path& folder) {
  std::lock_guard lock(impl_->mutex);
  impl_->folder = folder;
}

void LoopbackServer::script(const std::string& path, Answer answer) {
  std::lock_guard lock(impl_->mutex);
  impl_->standing[path] = std::move(answer);
}

void LoopbackServer::script_once(const std::string& path, Answer answer) {
  std::lock_guard lock(impl_->mutex);
  impl_->queued[path].push_back(std::move(answer));
}

void LoopbackServer::redirect(const std::string& path, int status, const std::string& location) {
  Answer answer;
  answer.status = status;
  answer.body = "moved\n";
  answer.headers.emplace_back("Location", location);
  script(path, std::move(answer));
}

void LoopbackServer::clear_scripts() {
  std::lock_guard lock(impl_->mutex);
  impl_->standing.clear();
  impl_->queued.clear();
}

std::vector<ReceivedRequest> LoopbackServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

std::size_t LoopbackServer::request_count() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log.size();
}

void LoopbackServer::clear_requests() {
  std::lock_guard lock(impl_->mutex);
  impl_->log.clear();
  ++impl_->log_generation;
}

std::string LoopbackServer::url(std::string_view path) const { return origin_ + std::string(path); }

}  // namespace qv::test
