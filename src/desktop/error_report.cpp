#include "desktop/error_report.hpp"

#include <fmt/format.h>

#include "core/foundations/config.hpp"
#include "core/foundations/diagnostics.hpp"
#include "platform/process_info.hpp"

namespace qv {
namespace {

// The folder that stands in for the client root when the configuration file
// does not load: the file's folder. A bare file name lies in the current
// folder, and so does a path with no parent at all (empty, or a root).
std::filesystem::path fallback_root(const std::filesystem::path& config_file) {
  std::string text = config_file.string();
  // "dir/" names the entry "dir", whose folder is the current one.
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  const std::filesystem::path trimmed(text);
  if (!trimmed.has_relative_path()) return ".";
  const std::filesystem::path parent = trimmed.parent_path();
  if (parent.empty()) return ".";
  return parent;
}

}  // namespace

std::string record_ui_error_with(std::span<const std::string> args, const Result<std::filesystem::path>& executable,
                                 const std::optional<std::filesystem::path>& root, std::string_view context,
                                 std::string_view message) {
  if (root) return record_error(*root, context, message);
  std::filesystem::path config_file;
  if (auto value = arg_value_in(args, kConfigOption)) {
    config_file = *value;
  } else if (executable) {
    config_file = executable->parent_path() / "launcher.json";
  } else {
    return fmt::format("{}\nCannot locate error log: {}", message, executable.error().to_string());
  }
  const auto config = load_config(config_file);
  return record_error(config ? config->root : fallback_root(config_file), context, message);
}

std::string record_ui_error(const std::optional<std::filesystem::path>& root, std::string_view context,
                            std::string_view message) {
  if (root) return record_error(*root, context, message);
  return record_ui_error_with(platform::process_arguments(), platform::executable_path(), root, context, message);
}

}  // namespace qv
