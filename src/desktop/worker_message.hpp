// The messages a worker job sends to the window.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <variant>

#include "core/install/check.hpp"

namespace qv {

struct WorkerMessage {
  // One status or progress line (every call of the forwarding sink; the
  // stop-game job's count line).
  struct Line {
    std::string text;
  };
  // A finished check: the prepared check moved in, and whether it is ready.
  struct CheckFinished {
    PreparedCheck check;
    bool ready = false;
  };
  struct ApplyFinished {};
  struct GameClosed {};
  // A job's error as its whole chain of causes joined by ": ".
  struct Failed {
    std::string error;
  };
  struct SelfUpdateInFlight {};
  // The staged self-update's transaction folder.
  struct SelfUpdateStaged {
    std::filesystem::path transaction_dir;
  };

  // The kinds in their fixed order: index 0 is Line, 6 SelfUpdateStaged.
  using Payload =
      std::variant<Line, CheckFinished, ApplyFinished, GameClosed, Failed, SelfUpdateInFlight, SelfUpdateStaged>;
  Payload payload;

  std::size_t kind() const { return payload.index(); }
};

}  // namespace qv
