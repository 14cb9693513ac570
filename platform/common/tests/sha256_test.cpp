#include "sha256.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

namespace {

TEST(Sha256Test, DigestsInPiecesEqualTheKnownValues) {
    Sha256 empty;
    EXPECT_EQ(empty.hexDigest(),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string text = "The quick brown fox jumps over the lazy dog";
    Sha256 pieces;
    for (size_t i = 0; i < text.size(); i += 7) {
        pieces.update(text.data() + i, std::min<size_t>(7, text.size() - i));
    }
    const std::string expected = "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592";
    EXPECT_EQ(pieces.hexDigest(), expected);

    char path[] = "/tmp/sha256-test-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    EXPECT_EQ(Sha256::ofFile(path), expected);
    ::unlink(path);
    EXPECT_FALSE(Sha256::ofFile(path));
}

TEST(Sha256Test, HexTextIsCheckedAndLowered) {
    const std::string upper(64, 'A');
    EXPECT_EQ(Sha256::normalizeHex(upper), std::string(64, 'a'));
    EXPECT_FALSE(Sha256::normalizeHex(std::string(63, 'a')));
    EXPECT_FALSE(Sha256::normalizeHex(std::string(65, 'a')));
    EXPECT_FALSE(Sha256::normalizeHex(std::string(63, 'a') + "g"));
    EXPECT_FALSE(Sha256::normalizeHex(""));
}

}  // namespace
