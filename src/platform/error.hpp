// The one error value of the system and the result types built on it.
//
// An Error is a message with an optional chain of causes. `to_string()` renders
// the whole chain joined by ": " (what the player and the diagnostics log see);
// `message()` is the outermost message alone. Errors are cheap to copy: the
// chain is shared and immutable.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace qv {

class Error {
 public:
  explicit Error(std::string message);

  // "{strerror} (os error {N})" with the Linux error number; the number is kept
  // so callers can tell "not found" from other failures.
  static Error os(int errnum);

  // The operating-system error of a failed allocation, as the system names
  // it: for a thread that caught one and fails only its own item with it.
  static Error out_of_memory();

  // A new error whose outermost message is `outer` and whose cause is *this.
  Error context(std::string outer) const;

  const std::string& message() const;
  // The next error of the chain, if any.
  std::optional<Error> cause() const;
  // The whole chain joined by ": ".
  std::string to_string() const;

  // The operating-system error number of the outermost message, if it is one.
  std::optional<int> os_code() const;
  // True when the outermost message is an operating-system "not found" error
  // (ENOENT or ENOTDIR).
  bool is_not_found() const;

 private:
  struct Node;
  explicit Error(std::shared_ptr<const Node> node) : node_(std::move(node)) {}
  std::shared_ptr<const Node> node_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(std::string message) { return std::unexpected(Error(std::move(message))); }
inline std::unexpected<Error> fail(Error error) { return std::unexpected(std::move(error)); }
inline std::unexpected<Error> fail_os(int errnum) { return std::unexpected(Error::os(errnum)); }

}  // namespace qv

// Propagates the error of a Result/Status expression, otherwise yields its value.
#define QV_TRY(expr)                                                   \
  __extension__({                                                      \
    auto&& qv_try_result_ = (expr);                                    \
    if (!qv_try_result_) return std::unexpected(std::move(qv_try_result_).error()); \
    std::move(qv_try_result_).value();                                 \
  })

// Like QV_TRY, wrapping the error with an outer message first.
#define QV_TRY_CTX(expr, outer)                                        \
  __extension__({                                                      \
    auto&& qv_try_result_ = (expr);                                    \
    if (!qv_try_result_) return std::unexpected(qv_try_result_.error().context(outer)); \
    std::move(qv_try_result_).value();                                 \
  })
