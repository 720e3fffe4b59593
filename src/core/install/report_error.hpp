// How a public engine operation records its own failure.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/error.hpp"

namespace qv {

// Records `error`, rendered with its whole chain, in the diagnostics log of
// the client at `root` under `context` (the operation's name: "apply",
// "recover", "discard_check", ...), and returns a new error whose only message
// is the text `record_error` gave back: the rendering itself, or with a line
// break and "Cannot write .launcher/state/errors.txt: {}" after it when the
// log could not be appended. The given error is consumed. Never fails; any
// thread.
Error report_error(const std::filesystem::path& root, std::string_view context, Error error);

}  // namespace qv
