#include "core/foundations/failpoint.hpp"

#include <stdlib.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "core/foundations/lock.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

// args: armed ("1" or "0"), point name, and optionally a client root whose
// lock is held when the point is reached.
QV_CHILD_MODE(reach_fail_point) {
  Result<ClientLock> lock = fail("no lock asked for");
  if (args.size() > 2) {
    lock = acquire_client_lock(args.at(2));
    if (!lock) return 3;
  }
  fail_point(args.at(0) == "1", args.at(1));
  return 0;
}

TEST(FailPoint, FiresOnlyWhenArmedAndNamedExactly) {
  struct Case {
    const char* armed;
    const char* variable;  // nullptr: unset
    const char* point;
    int exit_code;
  };
  const Case cases[] = {
      {"1", "after-state", "after-state", 77},
      {"1", "during-install-12", "during-install-12", 77},
      {"0", "after-state", "after-state", 0},
      {"1", "After-State", "after-state", 0},
      {"1", "after-state ", "after-state", 0},
      {"1", "after-stat", "after-state", 0},
      {"1", "during-install-1", "during-install-12", 0},
      {"1", "\xff" "after-state", "\xff" "after-state", 0},  // not valid text
      {"1", nullptr, "after-state", 0},
  };
  for (const auto& c : cases) {
    test::ChildEnv env;
    if (c.variable != nullptr) env.emplace_back(std::string(kFailPointVariable), c.variable);
    // An unset variable must not be inherited from whoever runs the tests.
    if (c.variable == nullptr) ::unsetenv(std::string(kFailPointVariable).c_str());
    const auto ended = test::run_self("reach_fail_point", {c.armed, c.point}, env);
    EXPECT_EQ(ended.exit_code, c.exit_code) << c.armed << " " << (c.variable ? c.variable : "(unset)");
  }
}

TEST(FailPoint, ProcessEndedAtAFailPointLeavesTheLockFree) {
  test::TempDir dir;
  const auto ended = test::run_self("reach_fail_point", {"1", "after-downloads", dir.path().string()},
                                    {{std::string(kFailPointVariable), "after-downloads"}});
  EXPECT_EQ(ended.exit_code, 77);
  auto lock = acquire_client_lock(dir.path());
  EXPECT_TRUE(lock) << lock.error().to_string();
}

TEST(InjectedInstallFailure, FailsOnlyTheNamedOperationWhenArmed) {
  const std::string variable(kFailPointVariable);
  ::setenv(variable.c_str(), "error-during-install-3", 1);
  const fs::path file = "/client/data/file.pak";
  const auto three = injected_install_failure(true, 3, file);
  ASSERT_FALSE(three);
  EXPECT_EQ(three.error().to_string(), "injected write failure during /client/data/file.pak");
  EXPECT_TRUE(injected_install_failure(false, 3, file));
  EXPECT_TRUE(injected_install_failure(true, 30, file));
  EXPECT_TRUE(injected_install_failure(true, 4, file));
  ::unsetenv(variable.c_str());
  EXPECT_TRUE(injected_install_failure(true, 3, file));
}

}  // namespace
}  // namespace qv
