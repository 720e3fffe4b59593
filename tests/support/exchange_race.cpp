#include "support/exchange_race.hpp"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace qv::test {
namespace {

QV_CHILD_MODE(exchange_entries) {
  const std::string a = args.at(0);
  const std::string b = args.at(1);
  for (bool told = false;; told = true) {
    if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
      std::fprintf(stderr, "exchange %s %s: %s\n", a.c_str(), b.c_str(), std::strerror(errno));
      return 2;
    }
    if (!told) child_say("exchanging");
  }
}

}  // namespace

Child start_exchanging(const std::filesystem::path& a, const std::filesystem::path& b) {
  auto child = Child::start_self("exchange_entries", {a.string(), b.string()});
  EXPECT_TRUE(child.wait_for_line("exchanging")) << "the exchanging process did not start";
  return child;
}

}  // namespace qv::test
