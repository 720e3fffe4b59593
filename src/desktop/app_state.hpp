// The window's one record of state, and the names it shows for the stages of
// a job's progress. Only the window thread touches an AppState; jobs reach the
// window through the worker channel and share nothing else but the cancel
// flag.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundations/config.hpp"
#include "core/foundations/progress.hpp"
#include "core/install/check.hpp"
#include "desktop/loaded_font.hpp"
#include "desktop/worker_channel.hpp"

namespace qv {

struct AppState {
  // Builds the state with a new worker channel, a new cancel flag, the stage
  // clock started now, scale 1.0, no hover or focus, and an empty background.
  AppState(LoadedFont font, std::vector<std::uint8_t> skin);

  AppState(const AppState&) = delete;
  AppState& operator=(const AppState&) = delete;

  // The progress last reported by the running job: drives the bar and text
  // line 1 while busy.
  std::optional<Progress> progress;
  WorkerReceiver receiver;  // drained on every timer tick
  WorkerSender sender;      // copied into every job
  // When the shown stage began: the bar's sweep and the deferred start-up
  // measure from it.
  std::chrono::steady_clock::time_point stage_started;
  std::optional<ClientConfig> config;                // none when missing or failed to load
  std::optional<std::filesystem::path> config_file;  // canonical; for the updater starts
  std::optional<PreparedCheck> prepared_check;       // held from a finished check to the next step
  double scale = 1.0;                                // window pixels per base pixel
  std::string status;                                // text line 1 while no progress shows; in the title
  std::vector<std::uint8_t> skin;                    // 1536 x 1024 straight RGBA, rows top-down
  // `skin` scaled to the window: frame_size(scale) premultiplied BGRA. Whoever
  // changes `scale` rebuilds it at once (`set_scale`).
  std::vector<std::uint8_t> background;
  LoadedFont font;     // the button-label font
  CancelFlag cancel;   // shared with the running check, apply or start-up job
  std::int32_t hover = -1;  // target under the mouse, -1 for none
  std::int32_t focus = -1;  // target chosen with Tab, -1 for none
  bool busy = false;        // a job runs
  bool check_pending = false;  // the start-up job waits for the deferred start-up
  bool ready = false;          // the held check needs nothing more: target 0 reads "PLAY"

  // Sets `scale` and rebuilds `background` from `skin` to match.
  void set_scale(double new_scale);

  // The configured client root, where the window's errors are recorded;
  // none without a configuration.
  std::optional<std::filesystem::path> client_root() const {
    if (config) return config->root;
    return std::nullopt;
  }

 private:
  AppState(std::pair<WorkerSender, WorkerReceiver> channel, LoadedFont font, std::vector<std::uint8_t> skin);
};

// The window's name of a stage, shown with its progress.
std::string_view stage_label(Stage stage);

}  // namespace qv
