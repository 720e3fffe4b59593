#include "support/private_display.hpp"

#include <stdlib.h>

namespace qv::test {

testing::Xvfb* PrivateDisplayTest::server_ = nullptr;

void PrivateDisplayTest::start_display(const std::string& screen) { server_ = new testing::Xvfb(screen); }

void PrivateDisplayTest::stop_display() {
  delete server_;
  server_ = nullptr;
}

const std::string& PrivateDisplayTest::display_name() { return *server_->display(); }

void PrivateDisplayTest::SetUp() {
  if (server_ == nullptr || !server_->display()) {
    GTEST_SKIP() << "no X server: " << (server_ != nullptr ? server_->reason() : "start_display was not called");
  }
  ::setenv("DISPLAY", server_->display()->c_str(), 1);
  client_ = std::make_unique<testing::XClient>(*server_->display());
}

void PrivateDisplayTest::TearDown() {
  client_.reset();
  ::unsetenv("DISPLAY");
}

}  // namespace qv::test
