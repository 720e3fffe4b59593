// A small stand-in window manager for a private X server, so that tests see a
// window the way a desktop treats it: it takes over the root window's
// structure (maps what asks to be mapped, configures what asks to be
// configured, gives a newly mapped window the keyboard focus), publishes that
// it supports _NET_WM_MOVERESIZE, and performs the moves it is asked for as
// common window managers do: it grabs the pointer and the keyboard, moves the
// window with the pointer, and ends the move on the next button release,
// which it takes itself. Like them, it does not look whether a button is
// still held when the request comes. WM_CHANGE_STATE to IconicState unmaps
// the window (minimised).
//
// It runs on a thread of its own, with a connection of its own, from
// construction to destruction. It composites nothing: a compositing manager
// is only the owner of a selection (XClient::own_selection).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv::testing {

class XClient;

class StandInWindowManager {
 public:
  // What it has done so far.
  struct Record {
    int move_requests = 0;   // _NET_WM_MOVERESIZE moves asked for
    int moves_started = 0;   // of those, moves it began (its grab succeeded)
    int releases_taken = 0;  // button releases that ended a move
    std::vector<std::uint64_t> iconified;  // windows minimised, in order
  };

  // Starts managing the screen of `display`; fails the calling test when it
  // cannot connect.
  explicit StandInWindowManager(const std::string& display);
  // Stops, withdraws what it published on the root window and disconnects
  // (which ends any grab it holds). The windows stay as they are.
  ~StandInWindowManager();
  StandInWindowManager(const StandInWindowManager&) = delete;
  StandInWindowManager& operator=(const StandInWindowManager&) = delete;

  Record record() const;
  // Waits until `done` holds for the record; false after `timeout`.
  bool wait_for(const std::function<bool(const Record&)>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

 private:
  struct Move {
    bool active = false;
    unsigned long window = 0;
    int window_x = 0;
    int window_y = 0;
    long anchor_x = 0;
    long anchor_y = 0;
  };

  void run();
  void handle(void* event);
  void begin_move(unsigned long window, long anchor_x, long anchor_y);

  std::unique_ptr<XClient> x_;
  unsigned long check_window_ = 0;
  int stop_[2] = {-1, -1};
  Move move_;
  mutable std::mutex mutex_;
  Record record_;
  std::thread thread_;
};

}  // namespace qv::testing
