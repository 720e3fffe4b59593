// Installing a release that a check prepared: re-validate, re-plan, download
// and verify the objects, close the game, install under the journal, roll
// back on failure.
#pragma once

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/foundations/progress.hpp"
#include "core/install/check.hpp"

namespace qv {

struct ApplyOptions {
  // Threads that verify objects and install files at once; 0 picks by the
  // processors. Whatever the number, the lines, the records and the first
  // error are those of one thread doing the work in order.
  unsigned threads = 0;
  static constexpr unsigned kMaxThreads = 16;
};

// Brings the client to the prepared release under the client lock. Objects
// that other transaction folders hold are reused (moved out of settled ones),
// and the free-space need counts only what is still to be written. After a
// success without retain_patch_artifacts the transaction folder is removed and
// the settled folders of earlier transactions are reclaimed
// (reclaim_settled_transactions). A failure is recorded under "apply" and
// returned as the recorded text. Polls
// `cancel`; blocks for as long as the downloads take: call it on a job thread.
Status apply(const ClientConfig& config, const PreparedCheck& check, const CancelFlag& cancel, const LineSink& sink,
             const ApplyOptions& options = {});

}  // namespace qv
