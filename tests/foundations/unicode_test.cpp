#include "core/foundations/unicode.hpp"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(ToLowerFull, FullMappingWithFinalSigma) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"LAUNCHER.EXE", "launcher.exe"},
      {"\xce\xa3\xce\x91\xce\xa3", "\xcf\x83\xce\xb1\xcf\x82"},              // ΣΑΣ -> σας
      {"\xce\xa3\xce\x91\xce\xa3 X", "\xcf\x83\xce\xb1\xcf\x82 x"},          // final before a blank
      {"\xc4\xb0", "i\xcc\x87"},                                              // İ grows to i + U+0307
      {"\xc3\x89T\xc3\x89", "\xc3\xa9t\xc3\xa9"},                            // ÉTÉ
      {"\xe0\xb8\x81\xe0\xb8\xb2", "\xe0\xb8\x81\xe0\xb8\xb2"},              // Thai has no case
      {"A\xffZ", "a\xffz"},                                                   // invalid bytes kept
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(to_lower_full(c.in), c.out) << c.in;
  // Growth beyond the first guess of the buffer.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "\xc4\xb0";
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "i\xcc\x87";
  EXPECT_EQ(to_lower_full(many), expected);
}

TEST(Utf8, Validity) {
  EXPECT_TRUE(is_valid_utf8("plain \xe0\xb8\x81 \xf0\x9f\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));          // overlong
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xe0\xb8"));          // cut short
  EXPECT_EQ(to_upper_ascii("con\xc2\xb9.txt"), "CON\xc2\xb9.TXT");
}

}  // namespace
}  // namespace qv
