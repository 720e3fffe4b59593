// A prepared check read back from its transaction folder, so that a check made
// by one run of the driver can be applied by another, as the window applies
// the check it holds.
#pragma once

#include <filesystem>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/install/check.hpp"

namespace qv::driver {

// The check whose folder is `transaction_dir`: the canonical root of
// `config`, the manifest opened from the folder's manifest.qvm with the
// configured keys, and the plan read from its plan.json (the four fields that
// `write_plan_json` writes, nothing else). Fails with the errors of the root
// resolution, the reads, the envelope, or the plan's JSON.
Result<PreparedCheck> read_prepared_check(const ClientConfig& config, const std::filesystem::path& transaction_dir);

}  // namespace qv::driver
