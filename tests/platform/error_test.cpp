#include "platform/error.hpp"

#include <cerrno>

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(Error, ChainJoinsWithColonAndKeepsOuterMessage) {
  Error e = Error("inner").context("middle").context("outer");
  EXPECT_EQ(e.message(), "outer");
  EXPECT_EQ(e.to_string(), "outer: middle: inner");
  ASSERT_TRUE(e.cause());
  EXPECT_EQ(e.cause()->to_string(), "middle: inner");
}

TEST(Error, OsErrorTextAndCode) {
  Error e = Error::os(ENOENT);
  EXPECT_EQ(e.message(), "No such file or directory (os error 2)");
  EXPECT_TRUE(e.is_not_found());
  EXPECT_EQ(e.os_code(), ENOENT);
  EXPECT_FALSE(Error::os(EACCES).is_not_found());
  // Context hides the code of the outer message.
  EXPECT_FALSE(e.context("x").os_code());
}

Result<int> half(int v) {
  if (v % 2 != 0) return fail("odd");
  return v / 2;
}

Result<int> quarter(int v) {
  int h = QV_TRY(half(v));
  return QV_TRY_CTX(half(h), "second half");
}

TEST(Error, TryPropagates) {
  EXPECT_EQ(quarter(8).value(), 2);
  EXPECT_EQ(quarter(3).error().to_string(), "odd");
  EXPECT_EQ(quarter(6).error().to_string(), "second half: odd");
}

}  // namespace
}  // namespace qv
