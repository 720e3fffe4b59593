// How the desktop records an error in the diagnostics log and gets the text
// to show the player, with or without a loaded configuration.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/error.hpp"

namespace qv {

// Appends a record under `context` to the log of the client at `root` and
// returns the text to show: the message, or the message followed by
// "\nCannot write .launcher/state/errors.txt: {cause}" when the append failed.
//
// Without a root, one is found: the configuration file is the "--config"
// value (as given), else "launcher.json" beside the running executable; the
// root is what that file loads to, or when it does not load, the file's
// folder (the current folder for a bare file name or a path without a
// parent). When the executable's path cannot be obtained the result is
// "{message}\nCannot locate error log: {cause}" and nothing is recorded.
//
// Never fails; any thread.
std::string record_ui_error(const std::optional<std::filesystem::path>& root, std::string_view context,
                            std::string_view message);

// The same over a given argument list (argument 0 included) and executable
// path, in place of the process's own.
std::string record_ui_error_with(std::span<const std::string> args, const Result<std::filesystem::path>& executable,
                                 const std::optional<std::filesystem::path>& root, std::string_view context,
                                 std::string_view message);

}  // namespace qv
