#include "base/lowercase.h"

#include <gtest/gtest.h>

#include <string>

namespace sidecar {
namespace {

TEST(Lowercase, OnlyAsciiCapitalsKelvinAndDottedCapitalIChange) {
  std::string out;
  append_lowercase_for_matching(out, "AbZ \u212A \u0130 \u00c9 \u0414 \u1E9E");
  EXPECT_EQ(out, "abz k i\u0307 \u00c9 \u0414 \u1E9E");
}

}  // namespace
}  // namespace sidecar
