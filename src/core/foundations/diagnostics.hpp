// The append-only diagnostics log `.launcher/state/errors.txt`.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/error.hpp"

namespace qv {

// Appends one record "[UTC unix-ms={} pid={} {context}]\n{message}\n\n" to the
// log of the client at `root`, creating the log and its folders when missing.
// Appends from any thread or process are serialised by a whole-file lock that
// waits. Errors of the root and path checks are returned as they are; later
// failures as the operating-system error.
Status append_error_record(const std::filesystem::path& root, std::string_view context, std::string_view message);

// Appends a record and returns the text to show: the message itself, or when
// the append failed "{message}\nCannot write .launcher/state/errors.txt: {cause}".
// Never fails.
std::string record_error(const std::filesystem::path& root, std::string_view context, std::string_view message);

}  // namespace qv
