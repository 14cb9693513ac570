// Parsing of multipart bodies fed to the sink in pieces: chunk edges, the
// boundary parameter, malformed bodies and the limits.
#include <gtest/gtest.h>

#include <random>

#include "form_test_util.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;

// Data that comes close to the delimiter "\r\n--<boundary>" without being one.
std::string nearMisses(const std::string& boundary) {
    const std::string partial = "\r\n--" + boundary.substr(0, boundary.size() - 1);
    return "x" + partial + "\r\r\n-\r--" + boundary + "\r" + partial + "\n" + partial;
}

size_t countOf(const std::string& text, const std::string& pattern) {
    size_t count = 0;
    for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) {
        ++count;
    }
    return count;
}

std::vector<TestPart> sampleParts(const std::string& boundary) {
    return {
        {"attributes", "{\"colour\" : \"red\"}\r\n", "", false, ""},
        {"empty", "", "", false, ""},
        {"bucket", nearMisses(boundary) + randomBytes(300, 7) + "\r", "data.bin", true,
         "Content-Type: application/octet-stream\r\n"},
        {"tail", nearMisses(boundary), "", false, "X-Other:  ignored \r\n"},
    };
}

// Every chunking of a body must give the same parts: one piece, one byte at
// a time, every split into two pieces, and random piece sizes.
TEST(MultipartChunking, EveryChunkingGivesTheSameParts) {
    for (const std::string boundary : {"----WebKitFormBoundary7MA4YWxk", "-", "ab"}) {
        TempDir dir;
        const std::string type = formContentType(boundary);
        const std::string body = buildBody(boundary, sampleParts(boundary), "preamble", "bye");
        ASSERT_EQ(countOf("\r\n" + body, "\r\n--" + boundary), 5u) << "only real delimiters";
        const std::string expected = parseInChunks(type, body, {0}, dir.path());
        ASSERT_EQ(expected.find("error:"), std::string::npos) << expected;
        ASSERT_NE(expected.find("bucket|data.bin|file|"), std::string::npos);
        EXPECT_EQ(parseInChunks(type, body, {1}, dir.path()), expected);
        for (size_t split = 1; split < body.size(); ++split) {
            ASSERT_EQ(parseInChunks(type, body, {split, 0}, dir.path()), expected)
                << "split at " << split;
        }
        std::mt19937 random(42);
        for (int round = 0; round < 50; ++round) {
            std::vector<size_t> sizes;
            for (int i = 0; i < 16; ++i) {
                sizes.push_back(1 + random() % 40);
            }
            ASSERT_EQ(parseInChunks(type, body, sizes, dir.path()), expected);
        }
        EXPECT_TRUE(directoryEntries(dir.path()).empty());
    }
}

TEST(MultipartChunking, BodyWithoutPreambleAndWithTransportPadding) {
    TempDir dir;
    const std::string body =
        "--b1 \t\r\nContent-Disposition: form-data; name=a\r\n\r\none\r\n--b1\r\n"
        "content-disposition: FORM-DATA; NAME=\"b\"\r\n\r\n\r\n--b1--  trailing\r\nepilogue";
    EXPECT_EQ(parseInChunks(formContentType("b1"), body, {0}, dir.path()),
              "a||data|3|one\nb||data|0|\n");
    EXPECT_EQ(parseInChunks(formContentType("b1"), body, {1}, dir.path()),
              "a||data|3|one\nb||data|0|\n");
}

TEST(MultipartBoundary, QuotedUnquotedAndCaseInsensitiveParameters) {
    TempDir dir;
    const std::vector<TestPart> parts = {{"f", "v", "", false, ""}};
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"multipart/form-data; boundary=\"a b:c?\"", "a b:c?"},
        {"Multipart/Form-Data;BOUNDARY=xyz", "xyz"},
        {"multipart/form-data; charset=utf-8; Boundary = \"q\\w\" ;", "qw"},
    };
    for (const auto& [type, boundary] : cases) {
        EXPECT_EQ(parseInChunks(type, buildBody(boundary, parts), {3}, dir.path()), "f||data|1|v\n")
            << type;
    }
}

TEST(MultipartBoundary, MissingOrInvalidBoundaryRefused) {
    TempDir dir;
    const std::string body = buildBody("xyz", {{"f", "v", "", false, ""}});
    for (const std::string& type : std::vector<std::string>{
             "multipart/form-data",
             "multipart/form-data; boundary=", "multipart/form-data; boundary=\"\"",
             "multipart/form-data; boundary=\"ends in blank \"",
             "multipart/form-data; boundary=a;boundary=b",
             "multipart/form-data; boundary=\"" + std::string(71, 'a') + "\"",
             "multipart/form-data; boundary=\"a\x01\"", "multipart/mixed; boundary=xyz",
             "multipart/form-data; boundary=\"unterminated", ""}) {
        EXPECT_EQ(parseInChunks(type, body, {0}, dir.path()).rfind("error: ", 0), 0u) << type;
    }
    // Seventy characters are allowed.
    const std::string longest(70, 'b');
    EXPECT_EQ(parseInChunks(formContentType(longest),
                            buildBody(longest, {{"f", "v", "", false, ""}}), {5}, dir.path()),
              "f||data|1|v\n");
}

TEST(MultipartMalformed, TruncatedBodiesRefusedAndTemporaryFilesRemoved) {
    TempDir dir;
    const std::string type = formContentType("zz");
    const std::string whole = buildBody("zz", {{"file", "abc", "a.txt", true, ""}});
    for (size_t length = 0; length < whole.size(); ++length) {
        const std::string result = parseInChunks(type, whole.substr(0, length), {1}, dir.path());
        EXPECT_EQ(result.rfind("error: ", 0), 0u) << "length " << length << ": " << result;
        EXPECT_TRUE(directoryEntries(dir.path()).empty());
    }
    EXPECT_EQ(parseInChunks(type, "no delimiter at all", {0}, dir.path()),
              "error: the body holds no multipart boundary delimiter");
    EXPECT_EQ(parseInChunks(type, "--zz\r\nContent-Disposition: form-data; name=a\r\n\r\nx", {0},
                            dir.path()),
              "error: the multipart body ends before its closing boundary delimiter");
}

TEST(MultipartMalformed, BadDelimiterLinesAndPartHeadersRefused) {
    TempDir dir;
    const std::string type = formContentType("zz");
    const std::string disposition = "Content-Disposition: form-data; name=a\r\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--zzX\r\n" + disposition + "\r\nv\r\n--zz--", "a boundary delimiter line is malformed"},
        {"--zz-x", "a boundary delimiter line is malformed"},
        {"--zz\r\r\n", "a boundary delimiter line is malformed"},
        {"--zz\r\nno colon here\r\n\r\n", "a part header line has no colon"},
        {"--zz\r\nContent-Type: text/plain\r\n\r\nv\r\n--zz--",
         "a part has no Content-Disposition header"},
        {"--zz\r\n\r\nv\r\n--zz--", "a part has no Content-Disposition header"},
        {"--zz\r\nContent-Disposition: attachment; name=a\r\n\r\n",
         "a part's Content-Disposition is not form-data"},
        {"--zz\r\nContent-Disposition: form-data; filename=a\r\n\r\n",
         "a part's Content-Disposition has no name"},
        {"--zz\r\nContent-Disposition: form-data; name=\"a\r\n\r\n",
         "malformed Content-Disposition header: unterminated quoted string"},
        {"--zz\r\nContent-Disposition: form-data; name=a\x01\r\n\r\n",
         "a part header line holds a control character"},
        {"--zz\r\n" + disposition + disposition + "\r\n",
         "a part has more than one Content-Disposition"},
        {"--zz\r\n" + disposition + " folded\r\n\r\n",
         "folded or empty part header lines are not supported"},
        {"--zz\r\nBad Name: x\r\n" + disposition + "\r\n",
         "a part header field name is not a valid token"},
        {"--zz\r\nContent-Disposition: form-data; name\r\n\r\n",
         "malformed Content-Disposition header: parameter 'name' has no value"},
    };
    for (const auto& [body, message] : cases) {
        EXPECT_EQ(parseInChunks(type, body, {2}, dir.path()), "error: " + message) << body;
    }
}

TEST(MultipartLimits, PartHeaderBlockSize) {
    TempDir dir;
    FormLimits limits;
    limits.maxHeaderBytes = 100;
    const std::string start = "Content-Disposition: form-data; name=a\r\nX: ";
    // The block counts its lines with their CRLFs and the blank line's CRLF.
    const std::string fits(100 - start.size() - 4, 'h');
    const std::string fitting = "--zz\r\n" + start + fits + "\r\n\r\nv\r\n--zz--";
    EXPECT_EQ(parseInChunks(formContentType("zz"), fitting, {1}, dir.path(), limits),
              "a||data|1|v\n");
    const std::string tooLong = "--zz\r\n" + start + fits + "h\r\n\r\nv\r\n--zz--";
    EXPECT_EQ(parseInChunks(formContentType("zz"), tooLong, {7}, dir.path(), limits),
              "error: a part's header block exceeds 100 bytes");
    // Transport padding counts against the same budget.
    const std::string padded = "--zz" + std::string(101, ' ') + "\r\n";
    EXPECT_EQ(parseInChunks(formContentType("zz"), padded, {0}, dir.path(), limits),
              "error: the padding after a boundary delimiter is too long");
}

TEST(MultipartLimits, PartsPreambleAndFieldSizes) {
    TempDir dir;
    const std::string type = formContentType("zz");
    std::vector<TestPart> parts(64, TestPart{"f", "v", "f.bin", true, ""});
    EXPECT_EQ(parseInChunks(type, buildBody("zz", parts), {0}, dir.path()).find("error"),
              std::string::npos);
    parts.push_back(parts.back());
    EXPECT_EQ(parseInChunks(type, buildBody("zz", parts), {0}, dir.path()),
              "error: the form has more than 64 parts");
    EXPECT_TRUE(directoryEntries(dir.path()).empty());

    const std::vector<TestPart> one = {{"f", "v", "", false, ""}};
    EXPECT_EQ(
        parseInChunks(type, buildBody("zz", one, std::string(65536, 'p')), {4096}, dir.path()),
        "f||data|1|v\n");
    EXPECT_EQ(
        parseInChunks(type, buildBody("zz", one, std::string(65537, 'p')), {4096}, dir.path()),
        "error: the preamble before the first boundary exceeds 65536 bytes");

    FormLimits limits;
    limits.maxDataPartBytes = 10;
    limits.maxDataTotalBytes = 15;
    const TestPart ten{"d", std::string(10, 'x'), "", false, ""};
    EXPECT_EQ(parseInChunks(type, buildBody("zz", {ten}), {3}, dir.path(), limits),
              "d||data|10|xxxxxxxxxx\n");
    EXPECT_EQ(parseInChunks(type, buildBody("zz", {{"d", std::string(11, 'x'), "", false, ""}}),
                            {3}, dir.path(), limits),
              "error: a form field without a file name exceeds 10 bytes");
    EXPECT_EQ(parseInChunks(type, buildBody("zz", {ten, ten}), {3}, dir.path(), limits),
              "error: the form fields without a file name exceed 15 bytes together");
    // Both limits crossed by one part: the answer must not depend on chunking.
    const std::string both = buildBody(
        "zz", {{"a", "xxxxxxxxx", "", false, ""}, {"d", std::string(11, 'x'), "", false, ""}});
    EXPECT_EQ(parseInChunks(type, both, {0}, dir.path(), limits),
              "error: the form fields without a file name exceed 15 bytes together");
    EXPECT_EQ(parseInChunks(type, both, {1}, dir.path(), limits),
              parseInChunks(type, both, {0}, dir.path(), limits));
    limits.maxFileBytes = 5;
    EXPECT_EQ(parseInChunks(type, buildBody("zz", {{"f", "123456", "f", true, ""}}), {3},
                            dir.path(), limits),
              "error: an uploaded file exceeds 5 bytes");
    EXPECT_TRUE(directoryEntries(dir.path()).empty());
}

}  // namespace
