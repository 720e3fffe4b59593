#include "prepared_check.hpp"

#include <array>
#include <string_view>
#include <vector>

#include "core/formats/envelope.hpp"
#include "core/foundations/json.hpp"
#include "core/foundations/paths.hpp"
#include "platform/fs.hpp"

namespace qv::driver {

namespace {

namespace fs = std::filesystem;

constexpr std::array<std::string_view, 4> kPlanFields = {"download", "delete", "download_bytes", "full_scan"};
// plan.json lists at most every file of a manifest, which is itself bounded
// by the envelope's size; a larger file is not one a check wrote.
constexpr std::size_t kMaxPlanBytes = std::size_t{64} << 20;

Result<Plan> decode_plan(std::string_view bytes) {
  json::Reader reader(bytes);
  Plan plan;
  const json::StructShape shape{"Plan", kPlanFields, 4, true};
  auto read_field = [&](std::size_t i) -> Status {
    switch (i) {
      case 0:
        QV_TRY(reader.begin_array("a sequence"));
        while (QV_TRY(reader.next_element())) plan.download.push_back(QV_TRY(reader.read_u32()));
        return reader.end_array();
      case 1:
        QV_TRY(reader.begin_array("a sequence"));
        while (QV_TRY(reader.next_element())) plan.delete_.push_back(QV_TRY(reader.read_string()));
        return reader.end_array();
      case 2: plan.download_bytes = QV_TRY(reader.read_u64()); return {};
      case 3: plan.full_scan = QV_TRY(reader.read_bool()); return {};
      default: return {};
    }
  };
  QV_TRY(json::read_struct(reader, shape, read_field, [](std::size_t) { return true; }));
  QV_TRY(reader.finish());
  return plan;
}

}  // namespace

Result<PreparedCheck> read_prepared_check(const ClientConfig& config, const fs::path& transaction_dir) {
  PreparedCheck check;
  check.root = QV_TRY(resolve_write_root(config.root));
  check.transaction_dir = transaction_dir;
  const std::string envelope =
      QV_TRY_CTX(platform::read_small_file(transaction_dir / "manifest.qvm", kEnvelopeMaxBytes), "manifest.qvm");
  const std::vector<std::uint8_t> bytes(envelope.begin(), envelope.end());
  check.manifest = QV_TRY_CTX(open_manifest(bytes, config.public_key, config.manifest_key), "manifest.qvm");
  const std::string plan = QV_TRY_CTX(platform::read_small_file(transaction_dir / "plan.json", kMaxPlanBytes), "plan.json");
  check.plan = QV_TRY_CTX(decode_plan(plan), "plan.json");
  return check;
}

}  // namespace qv::driver
