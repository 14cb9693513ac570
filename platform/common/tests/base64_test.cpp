// base64: the RFC 4648 test vectors both ways, and the refusals of text
// that is not padded base64.
#include "base64.h"

#include <gtest/gtest.h>

TEST(Base64Test, RfcVectorsRoundTrip) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(text, base64Encode(bytes));
        EXPECT_EQ(bytes, base64Decode(text).value_or("<refused>"));
    }
    const std::string binary("\x00\xff\xfe\x80", 4);
    EXPECT_EQ("AP/+gA==", base64Encode(binary));
    EXPECT_EQ(binary, base64Decode("AP/+gA==").value_or(""));
}

TEST(Base64Test, MalformedTextIsRefused) {
    for (const char* text : {"Zg=", "Zg=a", "=Zg=", "Z===", "Zm9v!A==", "Zg==Zg=="}) {
        EXPECT_FALSE(base64Decode(text).has_value()) << text;
    }
}
