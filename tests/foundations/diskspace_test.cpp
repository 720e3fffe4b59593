#include "core/foundations/diskspace.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include <gtest/gtest.h>

namespace qv {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(DiskSpace, NeedIsMetWhenAvailableCoversItExactly) {
  struct Case {
    std::uint64_t needed;
    std::uint64_t available;
    const char* error;  // nullptr: passes
  };
  for (const auto& c : std::initializer_list<Case>{
           {100, 100, nullptr},
           {0, 0, nullptr},
           {kMax, kMax, nullptr},
           {101, 100, "insufficient disk: need 101 bytes, available 100; no files removed"},
           {1, 0, "insufficient disk: need 1 bytes, available 0; no files removed"},
           {kMax, kMax - 1,
            "insufficient disk: need 18446744073709551615 bytes, available 18446744073709551614; no files removed"}}) {
    auto status = check_disk_space(c.needed, c.available);
    if (c.error == nullptr) {
      EXPECT_TRUE(status) << c.needed << " of " << c.available << ": " << status.error().to_string();
    } else {
      ASSERT_FALSE(status) << c.needed << " of " << c.available;
      EXPECT_EQ(status.error().to_string(), c.error);
    }
  }
}

TEST(DiskSpace, RealVolume) {
  const auto here = std::filesystem::temp_directory_path();
  auto free = free_disk_bytes(here);
  ASSERT_TRUE(free) << free.error().to_string();
  EXPECT_GT(*free, 0u);
  EXPECT_TRUE(require_disk_space(here, 0));

  auto too_much = require_disk_space(here, kMax);
  ASSERT_FALSE(too_much);
  EXPECT_TRUE(too_much.error().to_string().starts_with("insufficient disk: need 18446744073709551615 bytes, available "))
      << too_much.error().to_string();
}

TEST(DiskSpace, QueryFailureNamesTheOsError) {
  const auto missing = std::filesystem::temp_directory_path() / "qv-diskspace-missing" / "below";
  auto free = free_disk_bytes(missing);
  ASSERT_FALSE(free);
  EXPECT_EQ(free.error().to_string(), "disk space: No such file or directory (os error 2)");
  auto required = require_disk_space(missing, 1);
  ASSERT_FALSE(required);
  EXPECT_EQ(required.error().to_string(), free.error().to_string());
}

}  // namespace
}  // namespace qv
