#include "core/install/report_error.hpp"

#include <utility>

#include "core/foundations/diagnostics.hpp"

namespace qv {

Error report_error(const std::filesystem::path& root, std::string_view context, Error error) {
  const Error consumed = std::move(error);
  return Error(record_error(root, context, consumed.to_string()));
}

}  // namespace qv
