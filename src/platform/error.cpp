#include "platform/error.hpp"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace qv {

struct Error::Node {
  std::string message;
  std::shared_ptr<const Node> cause;
  std::optional<int> os_code;
};

Error::Error(std::string message) : node_(std::make_shared<const Node>(Node{std::move(message), nullptr, {}})) {}

const std::string& Error::message() const { return node_->message; }

std::optional<int> Error::os_code() const { return node_->os_code; }

std::optional<Error> Error::cause() const {
  if (!node_->cause) return std::nullopt;
  return Error(node_->cause);
}

Error Error::os(int errnum) {
  char buffer[256];
  // GNU strerror_r returns the message, which may or may not live in `buffer`.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return Error(std::make_shared<const Node>(Node{fmt::format("{} (os error {})", text, errnum), nullptr, errnum}));
}

Error Error::out_of_memory() { return os(ENOMEM); }

Error Error::context(std::string outer) const {
  return Error(std::make_shared<const Node>(Node{std::move(outer), node_, {}}));
}

std::string Error::to_string() const {
  std::string out = node_->message;
  for (const Node* n = node_->cause.get(); n != nullptr; n = n->cause.get()) {
    out += ": ";
    out += n->message;
  }
  return out;
}

bool Error::is_not_found() const {
  return node_->os_code && (*node_->os_code == ENOENT || *node_->os_code == ENOTDIR);
}

}  // namespace qv
