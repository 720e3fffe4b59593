// The health handshake of a freshly updated launcher: started by the updater
// with "--health-id" (the transaction id) and "--health-token" (the journal's
// token), the new launcher proves that it is the executable the staged
// metadata describes and that it runs, by writing `health.json` into the
// update's transaction folder. The updater is the only reader of that file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"

namespace qv {

namespace health_text {
inline constexpr std::string_view kInvalidId = "invalid transaction ID";
inline constexpr std::string_view kUnexpectedHandshake = "unexpected handshake";
inline constexpr std::string_view kVersionMismatch = "binary version does not match update metadata";
inline constexpr std::string_view kHashMismatch = "running executable hash mismatch";
}  // namespace health_text

// The answer in `health.json`.
struct HealthAnswer {
  std::uint64_t pid = 0;
  std::string token;
  std::uint64_t version = 0;

  bool operator==(const HealthAnswer&) const = default;
};

// `{"pid":N,"token":"...","version":N}`: compact, members in this order, no
// final line break.
std::string serialize_health_answer(const HealthAnswer& answer);

// The three members in any order (unknown keys skipped, each known one
// required once), or the array form; JSON whitespace around. The JSON
// reader's errors.
Result<HealthAnswer> decode_health_answer(std::string_view bytes);

// The folder `.launcher/transactions/{id}` of `root`, for an id received from
// outside: exactly 32 ASCII hexadecimal digits of either case, joined
// unchanged; otherwise "invalid transaction ID". The error of join_checked is
// returned as it is.
Result<std::filesystem::path> transaction_dir_for_id(const std::filesystem::path& root, std::string_view id);

// Answers the handshake for transaction `id` with `token`: the journal must
// hold exactly this token in phase "awaiting-health" ("unexpected
// handshake"), the staged metadata must open with the configuration's keys
// and carry version 4 ("binary version does not match update metadata"), and
// the executable this process was started from must hash to the metadata's
// digest ("running executable hash mismatch"). Then `health.json` is written
// atomically with this process's id, the token and version 4. Nothing is
// written before the checks pass. Errors are returned without context. Takes
// no lock; called once, on the window thread, before the message loop.
Status answer_health_check(const ClientConfig& config, std::string_view id, std::string_view token);

}  // namespace qv
