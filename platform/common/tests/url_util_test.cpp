#include "url_util.h"

#include <gtest/gtest.h>

TEST(UrlUtilTest, EncodesEverythingButUnreservedCharacters) {
    EXPECT_EQ(percentEncode("Bucket Storage"), "Bucket%20Storage");
    EXPECT_EQ(percentEncode("a-b.c_d~e09"), "a-b.c_d~e09");
    EXPECT_EQ(percentEncode("x/y?z%&+é"), "x%2Fy%3Fz%25%26%2B%C3%A9");
}

TEST(UrlUtilTest, DecodesAndRejectsBrokenEscapes) {
    EXPECT_EQ(percentDecode("Bucket%20Storage").value(), "Bucket Storage");
    EXPECT_EQ(percentDecode("%c3%A9+").value(), "é+");
    EXPECT_EQ(percentDecode(percentEncode("round / trip %")).value(), "round / trip %");
    EXPECT_FALSE(percentDecode("%").has_value());
    EXPECT_FALSE(percentDecode("abc%2").has_value());
    EXPECT_FALSE(percentDecode("%zz").has_value());
}
