// Window states for the desktop tests: a real AppState over the embedded skin
// and label font, and a way to collect what a job sends until its last
// message.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/foundations/config.hpp"
#include "desktop/app_state.hpp"
#include "desktop/assets.hpp"
#include "desktop/design_space.hpp"
#include "desktop/png_codec.hpp"
#include "desktop/worker_channel.hpp"

namespace qv::test {

inline const std::vector<std::uint8_t>& embedded_skin_pixels() {
  static const std::vector<std::uint8_t> skin = [] {
    auto decoded = decode_png(embedded_skin_png(), std::uint64_t{kBaseWidth} * kBaseHeight);
    EXPECT_TRUE(decoded);
    return decoded ? decoded->pixels : std::vector<std::uint8_t>();
  }();
  return skin;
}

// A window state at `scale` with the embedded label font.
inline std::unique_ptr<AppState> make_window_state(double scale = 0.625) {
  auto font = PrivateFont::add_memory(embedded_label_font());
  EXPECT_TRUE(font);
  auto state = std::make_unique<AppState>(LoadedFont{kLabelFontFamily, std::move(*font), kLabelFontWeight},
                                          embedded_skin_pixels());
  state->set_scale(scale);
  return state;
}

// A configuration for `root` whose URLs lead nowhere that answers.
inline ClientConfig config_for(const std::filesystem::path& root) {
  ClientConfig config;
  config.root = root;
  config.manifest_url = "http://127.0.0.1:9/manifest.qvm";
  config.object_base_url = "http://127.0.0.1:9/objects/";
  config.allow_loopback_http = true;
  return config;
}

// Every message up to and including the first last message (any kind but
// Line), or what arrived before `timeout`.
inline std::vector<WorkerMessage> collect_job(WorkerReceiver& receiver,
                                              std::chrono::seconds timeout = std::chrono::seconds(60)) {
  std::vector<WorkerMessage> messages;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto message = receiver.try_receive()) {
      const bool last = message->kind() != 0;
      messages.push_back(std::move(*message));
      if (last) return messages;
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "no last message within the timeout";
  return messages;
}

template <class T>
const T* last_as(const std::vector<WorkerMessage>& messages) {
  if (messages.empty()) return nullptr;
  return std::get_if<T>(&messages.back().payload);
}

// The text of a last message Failed, or a note of what came instead.
inline std::string failed_text(const std::vector<WorkerMessage>& messages) {
  if (const auto* failed = last_as<WorkerMessage::Failed>(messages)) return failed->error;
  return messages.empty() ? "<no message>" : "<last message of kind " + std::to_string(messages.back().kind()) + ">";
}

}  // namespace qv::test
