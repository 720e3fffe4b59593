// A client check: the release fetched, verified and planned into a new
// transaction folder, held by the window until it is applied, finished or
// discarded.
#pragma once

#include <filesystem>

#include "core/foundations/config.hpp"
#include "platform/error.hpp"
#include "core/foundations/progress.hpp"
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

// Fetches and verifies the release manifest into a new transaction folder,
// applies the release-order rules and plans the work, all under the client
// lock. A failure is recorded under "prepare" and returned as the recorded
// text. Polls `cancel` during the manifest download. Any worker thread.
Result<PreparedCheck> prepare(const ClientConfig& config, bool full_check, const CancelFlag& cancel,
                              const LineSink& sink);

// True when the client needs nothing: then the installed state has been
// written, the transaction folder removed and the settled folders of earlier
// transactions reclaimed (reclaim_settled_transactions). A plan with work
// answers false at once, without the lock. A failure is recorded under
// "finish_check".
Result<bool> finish_check(const ClientConfig& config, const PreparedCheck& check, const LineSink& sink);

// Removes the folder of a check that was never applied, when it holds only
// what a check makes. A failure is recorded under "discard_check".
Status discard_check(const ClientConfig& config, const PreparedCheck& check);

// The bytes of the check's `manifest.qvm`, read whole, once they are proven to
// open (signature, decryption, validation) to the very manifest the check
// holds, compared by their CBOR encodings: "prepared manifest changed"
// otherwise. These bytes become the installed state. For finish_check and
// apply, under the client lock.
Result<std::string> read_prepared_envelope(const ClientConfig& config, const PreparedCheck& check);

}  // namespace qv
