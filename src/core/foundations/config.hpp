// The client configuration `launcher.json` and the command-line rule.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.hpp"

namespace qv {

struct ClientConfig {
  std::filesystem::path root;  // always the canonical client root after loading
  std::string manifest_url;
  std::string object_base_url;
  std::array<std::uint8_t, 32> public_key{};
  std::array<std::uint8_t, 32> manifest_key{};
  bool retain_patch_artifacts = false;
  bool allow_loopback_http = false;
  std::optional<std::string> update_url;

  bool operator==(const ClientConfig&) const = default;
};

// The value of the first argument equal to `name` (case-sensitive, whole
// text): the argument after it, whatever it holds. Absent when no argument
// equals the name or the first one that does is the last argument. Reads the
// process's arguments anew at each call; safe on any thread.
std::optional<std::string> arg_value(std::string_view name);
// The same rule over a given argument list (argument 0 included).
std::optional<std::string> arg_value_in(std::span<const std::string> args, std::string_view name);

// The option that names the configuration file.
inline constexpr std::string_view kConfigOption = "--config";

// The canonical path of the configuration file: the `--config` value, else
// "launcher.json" beside the running executable. Operating-system errors are
// returned as they are.
Result<std::filesystem::path> config_path();

// Reads, parses and completes the configuration at `path` (canonical or not).
// A relative `root` is joined onto the folder of `path`, then resolved with
// `resolve_write_root`; the root must be a folder. Reading and parsing errors
// carry no context of their own; an error of the root reads "client root
// {root}: {cause}" with the root as joined (a root that is a file:
// "Not a directory (os error 20)").
Result<ClientConfig> load_config(const std::filesystem::path& path);

// Parses the bytes of a configuration document; `root` is left as written.
Result<ClientConfig> parse_config(std::string_view document);

// An independent copy.
ClientConfig clone_config(const ClientConfig& config);

}  // namespace qv
