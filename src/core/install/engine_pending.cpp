// Stand-in for the apply operation until it lands; it refuses, so nothing
// can take it for a finished install.
#include "core/install/apply.hpp"

namespace qv {

Status apply(const ClientConfig&, const PreparedCheck&, const CancelFlag&, const LineSink&) {
  return fail("install is not available in this build");
}

}  // namespace qv
