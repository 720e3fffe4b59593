// A private X server for tests that need a display: Xvfb on a display
// number it picks itself, stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qv::testing {

// A private X server on a free display. `display()` is empty when Xvfb could
// not be started; `reason()` then says why.
class Xvfb {
 public:
  // `screen` is Xvfb's -screen 0 geometry and depth, e.g. "1920x1080x24";
  // `options` go to Xvfb before it (e.g. {"-extension", "Composite"}).
  explicit Xvfb(const std::string& screen = "320x240x24", const std::vector<std::string>& options = {});
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;
  const std::optional<std::string>& display() const { return display_; }
  const std::string& reason() const { return reason_; }

 private:
  pid_t pid_ = -1;
  std::optional<std::string> display_;
  std::string reason_;
};

}  // namespace qv::testing
