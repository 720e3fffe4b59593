// The launcher-update record carried in `launcher-update.qvm`.
#pragma once

#include <cstdint>
#include <span>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/formats/manifest.hpp"

namespace qv {

struct LauncherUpdate {
  std::uint32_t format = 0;
  std::uint64_t version = 0;
  FileEntry launcher;

  bool operator==(const LauncherUpdate&) const = default;
};

// Opens the envelope with the configuration's keys, decodes the record (which
// must fill the plaintext exactly) and checks its fields: "update metadata"
// for the format, version or path, "update size/hash" for the sizes or a
// "read" algorithm, and the object-name rule. Pure; any thread.
Result<LauncherUpdate> read_launcher_update(std::span<const std::uint8_t> bytes, const ClientConfig& config);

}  // namespace qv
