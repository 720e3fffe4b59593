// A test suite whose tests share one private X server: DISPLAY names it for
// the length of each test, and each test gets a fresh client of it.
//
//   class MyWindows : public test::PrivateDisplayTest {
//    protected:
//     static void SetUpTestSuite() { start_display("1920x1080x24"); }
//     static void TearDownTestSuite() { stop_display(); }
//   };
//
// Tests are skipped, with the reason, when Xvfb cannot be started.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/x_client.hpp"
#include "support/xvfb.hpp"

namespace qv::test {

class PrivateDisplayTest : public ::testing::Test {
 protected:
  static void start_display(const std::string& screen);
  static void stop_display();
  void SetUp() override;
  void TearDown() override;

  // The server's display name, such as ":3".
  static const std::string& display_name();
  testing::XClient& client() { return *client_; }

 private:
  static testing::Xvfb* server_;
  std::unique_ptr<testing::XClient> client_;
};

}  // namespace qv::test
