// Installing a release that a check prepared: re-validate, re-plan, download
// and verify the objects, close the game, install under the journal, roll
// back on failure.
#pragma once

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/foundations/progress.hpp"
#include "core/install/check.hpp"

namespace qv {

// Brings the client to the prepared release under the client lock. A failure
// is recorded under "apply" and returned as the recorded text. Polls
// `cancel`; blocks for as long as the downloads take: call it on a job thread.
Status apply(const ClientConfig& config, const PreparedCheck& check, const CancelFlag& cancel, const LineSink& sink);

}  // namespace qv
