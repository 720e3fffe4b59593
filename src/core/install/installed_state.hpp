// The installed state: which release the client folder holds. It is the
// signed manifest envelope of that release, byte for byte, at
// `.launcher/state/manifest.qvm` below the client root, opened afresh with the
// configured keys at every read. Written by a ready check, by the commit of an
// install and by rollback, always with `write_file_atomic`.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/formats/manifest.hpp"

namespace qv {

inline constexpr std::string_view kInstalledStateRelative = ".launcher/state/manifest.qvm";
inline constexpr std::string_view kInstalledStateContext = "installed manifest; full scan required";

// The installed-state path below `root` (`join_checked`: a link on the way is
// refused).
Result<std::filesystem::path> installed_state_path(const std::filesystem::path& root);

// The installed release of the client `config.root`, opened with its
// `public_key` and `manifest_key`, or none. Never fails: a missing file is
// none, silently; any other failure (path refused, read error, a file too
// large to be an envelope, envelope, signature, decoding or validation
// failure) is recorded in the diagnostics log under "installed manifest; full
// scan required", the text `record_error` returns goes to standard error with
// a line break, and the result is none, so the caller scans the whole client.
// The file is never changed here. The caller holds the client lock.
std::optional<Manifest> load_installed_manifest(const ClientConfig& config);
// The same for the client at the canonical `root` found now, whatever root
// the configuration was loaded with.
std::optional<Manifest> load_installed_manifest(const ClientConfig& config, const std::filesystem::path& root);

}  // namespace qv
