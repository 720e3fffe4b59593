// Stand-ins for the check and apply operations until the engine's check and
// apply land; they refuse, so nothing can take them for a finished check.
#include "core/install/apply.hpp"
#include "core/install/check.hpp"

namespace qv {

Result<PreparedCheck> prepare(const ClientConfig&, bool, const CancelFlag&, const LineSink&) {
  return fail("client check is not available in this build");
}

Result<bool> finish_check(const ClientConfig&, const PreparedCheck&, const LineSink&) {
  return fail("client check is not available in this build");
}

Status discard_check(const ClientConfig&, const PreparedCheck&) {
  return fail("client check is not available in this build");
}

Status apply(const ClientConfig&, const PreparedCheck&, const CancelFlag&, const LineSink&) {
  return fail("install is not available in this build");
}

}  // namespace qv
