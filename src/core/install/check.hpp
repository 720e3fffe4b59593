// A client check: the release fetched, verified and planned into a new
// transaction folder, held by the window until it is applied, finished or
// discarded.
#pragma once

#include <filesystem>

#include "core/formats/manifest.hpp"
#include "core/install/plan.hpp"

namespace qv {

struct PreparedCheck {
  // The canonical client root found when the check was prepared.
  std::filesystem::path root;
  // root/.launcher/transactions/{32 hex digits}
  std::filesystem::path transaction_dir;
  Plan plan;
  Manifest manifest;

  bool operator==(const PreparedCheck&) const = default;
};

}  // namespace qv
