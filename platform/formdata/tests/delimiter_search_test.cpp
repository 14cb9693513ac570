// DelimiterSearch against std::string::find: a delimiter at every offset of a
// buffer, on backgrounds made to trip the vector filter (bytes equal to the
// delimiter's first and last byte, near misses), and every start and end of
// the searched range, so block edges and the scalar tail are all crossed.
#include <gtest/gtest.h>

#include <string>

#include "delimiter_search.h"

namespace {

// Filler of `size` bytes where the delimiter's first and last bytes, its
// prefixes and its suffixes recur without forming the whole delimiter.
std::string background(const std::string& delimiter, size_t size) {
    const std::string miss = delimiter.substr(0, delimiter.size() - 1) + "x";
    std::string inner = delimiter;  // first and last byte right, one inside wrong
    inner[inner.size() - 2] = '?';
    const std::string pieces = delimiter.substr(0, 1) + "." +
                               delimiter.substr(delimiter.size() - 1) + miss + "y" +
                               delimiter.substr(1) + "z";
    std::string text;
    while (text.size() < size) {
        text += pieces;
    }
    text.resize(size);
    return text;
}

// The search's answer as an offset from `begin`, npos when nothing is found.
size_t searchOffset(const DelimiterSearch& search, const std::string& text, size_t begin,
                    size_t end) {
    const char* data = text.data();
    const char* hit = search.find(data + begin, data + end);
    return hit == data + end ? std::string::npos : static_cast<size_t>(hit - data);
}

size_t expectedOffset(const std::string& text, const std::string& delimiter, size_t begin,
                      size_t end) {
    return text.substr(0, end).find(delimiter, begin);
}

TEST(DelimiterSearch, FindsTheFirstOccurrenceAtEveryOffsetAndRange) {
    const std::string delimiters[] = {"\r\n", "\r\n--a", "\r\n------WebKitFormBoundary7MA4YWxk",
                                      "\r\n--" + std::string(70, '-')};
    for (const std::string& delimiter : delimiters) {
        const DelimiterSearch search(delimiter);
        const std::string plain = background(delimiter, 200);
        ASSERT_EQ(plain.find(delimiter), std::string::npos);
        for (size_t offset = 0; offset + delimiter.size() <= plain.size(); ++offset) {
            std::string text = plain;
            text.replace(offset, delimiter.size(), delimiter);
            for (size_t begin = 0; begin <= offset + 1; begin += 7) {
                for (size_t end :
                     {text.size(), offset + delimiter.size(), offset + delimiter.size() - 1}) {
                    ASSERT_EQ(searchOffset(search, text, begin, end),
                              expectedOffset(text, delimiter, begin, end))
                        << "delimiter size " << delimiter.size() << ", offset " << offset
                        << ", range " << begin << ".." << end;
                }
            }
        }
    }
}

TEST(DelimiterSearch, EmptyDelimiterRefused) {
    EXPECT_THROW(DelimiterSearch(""), std::invalid_argument);
}

}  // namespace
