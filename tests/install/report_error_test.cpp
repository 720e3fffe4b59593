#include "core/install/report_error.hpp"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(ReportError, RecordsTheWholeChainUnderTheContextAndReturnsItAsOneMessage) {
  test::TempDir dir;
  const Error reported = report_error(dir.path(), "apply", Error("No space left").context("install data/a.pak"));
  EXPECT_EQ(reported.to_string(), "install data/a.pak: No space left");
  EXPECT_FALSE(reported.cause());
  const std::string log = test::read_file(dir / ".launcher/state/errors.txt");
  EXPECT_TRUE(log.starts_with("[UTC unix-ms=")) << log;
  EXPECT_TRUE(log.ends_with(" apply]\ninstall data/a.pak: No space left\n\n")) << log;
}

TEST(ReportError, AnUnwritableLogIsNamedInTheText) {
  test::TempDir dir;
  fs::create_directories(dir / ".launcher/state/errors.txt");
  const Error reported = report_error(dir.path(), "recover", Error("unknown journal phase"));
  EXPECT_EQ(reported.to_string(),
            "unknown journal phase\nCannot write .launcher/state/errors.txt: Is a directory (os error 21)");
  EXPECT_FALSE(reported.cause());
}

}  // namespace
}  // namespace qv
