#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace sidecar {
namespace {

TEST(Utf8, LossyDecodingReplacesEachMaximalIllFormedSubpart) {
  struct Case {
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"\xd0\x9f", "\xd0\x9f"},
      {"obs\xff", "obs\ufffd"},
      {"\xc0\xaf", "\ufffd\ufffd"},                      // overlong lead bytes are ill-formed alone
      {"\xe2\x82z", "\ufffdz"},                          // a truncated sequence is one subpart
      {"\xed\xa0\x80", "\ufffd\ufffd\ufffd"},            // surrogates
      {"\xf4\x90\x80\x80", "\ufffd\ufffd\ufffd\ufffd"},  // above U+10FFFF
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\xf0\x9f\x98", "\ufffd"},
      {"\x80\x80", "\ufffd\ufffd"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(to_utf8_lossy(c.bytes), c.expected);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.bytes == c.expected);
    EXPECT_TRUE(is_valid_utf8(to_utf8_lossy(c.bytes)));
  }
}

TEST(Utf8, TrimAndFirstCodePoint) {
  EXPECT_EQ(trim_unicode_whitespace("\u2028 a b\u3000\r\n"), "a b");
  EXPECT_EQ(trim_unicode_whitespace("\u200b"), "\u200b");  // zero-width space is not white space
  EXPECT_EQ(trim_unicode_whitespace(" \u0085 "), "");
  EXPECT_EQ(first_code_point("t"), U't');
  EXPECT_EQ(first_code_point("\u00e9x"), U'\u00e9');
  EXPECT_EQ(first_code_point(""), 0U);
}

}  // namespace
}  // namespace sidecar
