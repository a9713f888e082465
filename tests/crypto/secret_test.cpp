#include "crypto/secret.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// A password handed over as a string leaves no copy in it, short or long:
// a short string keeps its bytes inside the object, a long one on the heap.
TEST(Secret, TakesAStringAndWipesItsBytesThere) {
  for (const std::string& text : {std::string("kurz"), std::string(100, 'x') + "langes Passwort"}) {
    std::string handed = text;
    const char* buffer = handed.data();
    crypto::Secret secret;
    secret = std::move(handed);
    EXPECT_EQ(secret.view(), text);
    EXPECT_EQ(std::string(secret.c_str()), text);
    for (std::size_t i = 0; i < text.size(); ++i) ASSERT_EQ(buffer[i], '\0') << i;
  }
}

TEST(Secret, MovesWithoutCopyingAndEmptiesTheSource) {
  crypto::Secret first("geheim");
  const char* bytes = first.c_str();
  crypto::Secret second = std::move(first);
  EXPECT_TRUE(first.empty());
  EXPECT_STREQ(first.c_str(), "");
  EXPECT_EQ(second.c_str(), bytes);
  crypto::Secret third("anderes");
  third = std::move(second);
  EXPECT_EQ(third.view(), "geheim");
  third.Clear();
  EXPECT_TRUE(third.empty());
  EXPECT_EQ(third.view(), "");
}

}  // namespace
