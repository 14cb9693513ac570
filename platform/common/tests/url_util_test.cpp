#include "url_util.h"

#include <gtest/gtest.h>

TEST(UrlUtilTest, EncodesEverythingButUnreservedCharacters) {
    EXPECT_EQ(percentEncode("Bucket Storage"), "Bucket%20Storage");
    EXPECT_EQ(percentEncode("a-b.c_d~e09"), "a-b.c_d~e09");
    EXPECT_EQ(percentEncode("x/y?z%&+é"), "x%2Fy%3Fz%25%26%2B%C3%A9");
}

TEST(UrlUtilTest, DecodesEscapesAndKeepsEverythingElse) {
    EXPECT_EQ(percentDecode("Bucket%20Storage"), "Bucket Storage");
    EXPECT_EQ(percentDecode("%c3%A9+"), "é+");
    EXPECT_EQ(percentDecode(percentEncode("round / trip %")), "round / trip %");
    EXPECT_EQ(percentDecode(std::string("%00x", 4)), std::string("\0x", 2));
    // A '%' that does not begin an escape stands for itself.
    EXPECT_EQ(percentDecode("100%"), "100%");
    EXPECT_EQ(percentDecode("a%4"), "a%4");
    EXPECT_EQ(percentDecode("%zz%41%%41"), "%zzA%A");
}

TEST(UrlUtilTest, TellsWellFormedEncodingFromBrokenEscapes) {
    EXPECT_TRUE(percentEncodingWellFormed(""));
    EXPECT_TRUE(percentEncodingWellFormed("Bucket%20Storage%2f+"));
    EXPECT_FALSE(percentEncodingWellFormed("%"));
    EXPECT_FALSE(percentEncodingWellFormed("abc%2"));
    EXPECT_FALSE(percentEncodingWellFormed("%zz"));
    EXPECT_FALSE(percentEncodingWellFormed("%41%4g"));
}
