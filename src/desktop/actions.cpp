#include "desktop/actions.hpp"

#include <fmt/format.h>

#include "desktop/error_report.hpp"
#include "desktop/jobs.hpp"
#include "desktop/theme.hpp"
#include "platform/open_link.hpp"

namespace qv {
namespace {

constexpr std::string_view kLaunchGameContext = "launch game";
constexpr std::string_view kOpenLinkContext = "open link";

void primary(WindowContext& context) {
  AppState& state = context.state;
  if (state.busy) return;
  if (!state.prepared_check) return start_worker(state, /*full_check=*/false, /*apply_prepared=*/false);
  if (!state.ready) return start_worker(state, /*full_check=*/false, /*apply_prepared=*/true);
  if (!state.config) return;
  const Status launched = launch_with_recovery(state.config->root, *state.prepared_check);
  if (launched) return context.window.destroy();
  state.status = record_ui_error(state.config->root, kLaunchGameContext, launched.error().to_string());
  context.window.set_title(titled(state.status));
}

void open_release_link(WindowContext& context, std::int32_t target) {
  AppState& state = context.state;
  if (!state.prepared_check) return;
  const Links& links = state.prepared_check->manifest.links;
  const std::string& link = target == 3 ? links.register_ : target == 4 ? links.topup : links.discord;
  if (link.empty()) return;
  const Status opened = platform::open_link(link);
  if (opened) return;
  state.status = record_ui_error(state.client_root(), kOpenLinkContext,
                                 fmt::format(fmt::runtime(kCannotOpenLink), opened.error().to_string()));
  context.window.set_title(state.status);
}

void close_or_cancel(WindowContext& context) {
  AppState& state = context.state;
  if (state.busy && !context.preview) {
    state.cancel.cancel();
    state.status = std::string(kCancellingStatus);
    return;
  }
  if (state.config && state.prepared_check) {
    // Closing goes on whatever the discard says: the folder is left for a
    // later check or recovery.
    (void)discard_check(*state.config, *state.prepared_check);
  }
  context.window.destroy();
}

}  // namespace

std::string titled(std::string_view status, std::string_view suffix) {
  return fmt::format("{} — {}{}", kWindowTitle, status, suffix);
}

void perform_action(WindowContext& context, std::int32_t target) {
  switch (target) {
    case 0: return primary(context);
    case 1:
      if (context.state.busy) return;
      return start_worker(context.state, /*full_check=*/true, /*apply_prepared=*/false);
    case 2: return start_stop_game_worker(context.state);
    case 3:
    case 4:
    case 5: return open_release_link(context, target);
    case 6: return context.window.minimise();
    case kCloseTarget: return close_or_cancel(context);
    default: return;
  }
}

}  // namespace qv
