// Range selection, HTTP dates and the evaluation of conditional requests.
#include <gtest/gtest.h>

#include "http/byte_range.h"
#include "http/validators.h"

namespace http {
namespace {

using Kind = RangeSelection::Kind;

void expectPartial(const std::string& field, uint64_t size, uint64_t first, uint64_t length) {
    RangeSelection range = selectRange(field, size);
    EXPECT_EQ(range.kind, Kind::Partial) << field;
    EXPECT_EQ(range.first, first) << field;
    EXPECT_EQ(range.length, length) << field;
}

TEST(ByteRangeTest, SingleRangesAreClampedToTheRepresentation) {
    expectPartial("bytes=0-99", 1000, 0, 100);
    expectPartial("bytes=0-0", 1000, 0, 1);
    expectPartial("bytes=990-", 1000, 990, 10);
    expectPartial("bytes=999-5000", 1000, 999, 1);
    expectPartial("bytes=-10", 1000, 990, 10);
    expectPartial("bytes=-5000", 1000, 0, 1000);
    expectPartial(" Bytes=5-9 ", 1000, 5, 5);
    expectPartial("bytes=, 5-9,", 1000, 5, 5);
    expectPartial("bytes=0-99999999999999999999999", 1000, 0, 1000);
    EXPECT_EQ(contentRange(selectRange("bytes=-10", 1000), 1000), "bytes 990-999/1000");
    EXPECT_EQ(unsatisfiedRange(1000), "bytes */1000");
}

TEST(ByteRangeTest, UnsatisfiableIgnoredAndSeveralRanges) {
    for (const char* field :
         {"bytes=1000-", "bytes=1000-2000", "bytes=-0", "bytes=99999999999999999999999-"}) {
        EXPECT_EQ(selectRange(field, 1000).kind, Kind::Unsatisfiable) << field;
    }
    EXPECT_EQ(selectRange("bytes=0-", 0).kind, Kind::Unsatisfiable);
    EXPECT_EQ(selectRange("bytes=-1", 0).kind, Kind::Unsatisfiable);
    // Not a usable byte range: the whole representation.
    for (const char* field : {"", "bytes=", "bytes=5-2", "bytes=a-b", "bytes=1-2-3", "items=0-1",
                              "bytes 0-1", "bytes=0-1,5-9", "bytes=0-1,-1"}) {
        EXPECT_EQ(selectRange(field, 1000).kind, Kind::Whole) << field;
    }
}

TEST(ValidatorsTest, HttpDatesInAllThreeForms) {
    const int64_t kDate = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
    EXPECT_EQ(formatHttpDate(kDate), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(formatHttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"), kDate);
    EXPECT_EQ(parseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT"), kDate);
    EXPECT_EQ(parseHttpDate("Sun Nov  6 08:49:37 1994"), kDate);
    for (const char* bad :
         {"", "yesterday", "Sun, 06 Nov 1994 08:49:37 CET", "Sun, 06 Foo 1994 08:49:37 GMT",
          "Sun, 06 Nov 1994 25:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT trailing"}) {
        EXPECT_FALSE(parseHttpDate(bad)) << bad;
    }
}

TEST(ValidatorsTest, PreconditionsInTheirOrder) {
    const Validators current{"\"abc\"", 1000};
    const std::string before = formatHttpDate(999);
    const std::string same = formatHttpDate(1000);
    auto evaluate = [&](Headers fields) { return evaluatePreconditions(fields, current); };
    EXPECT_EQ(evaluate({}), Precondition::Proceed);
    EXPECT_EQ(evaluate({{"If-None-Match", "\"abc\""}}), Precondition::NotModified);
    EXPECT_EQ(evaluate({{"If-None-Match", "\"x\", W/\"abc\""}}), Precondition::NotModified);
    EXPECT_EQ(evaluate({{"If-None-Match", "*"}}), Precondition::NotModified);
    EXPECT_EQ(evaluate({{"If-None-Match", "\"x\""}}), Precondition::Proceed);
    EXPECT_EQ(evaluate({{"If-Modified-Since", same}}), Precondition::NotModified);
    EXPECT_EQ(evaluate({{"If-Modified-Since", before}}), Precondition::Proceed);
    EXPECT_EQ(evaluate({{"If-Modified-Since", "garbage"}}), Precondition::Proceed);
    // If-None-Match wins over If-Modified-Since.
    EXPECT_EQ(evaluate({{"If-None-Match", "\"x\""}, {"If-Modified-Since", same}}),
              Precondition::Proceed);
    EXPECT_EQ(evaluate({{"If-Match", "\"abc\""}}), Precondition::Proceed);
    EXPECT_EQ(evaluate({{"If-Match", "\"x\""}, {"If-Match", "\"abc\""}}), Precondition::Proceed);
    EXPECT_EQ(evaluate({{"If-Match", "W/\"abc\""}}), Precondition::Failed);  // strong comparison
    EXPECT_EQ(evaluate({{"If-Match", "\"x\""}}), Precondition::Failed);
    EXPECT_EQ(evaluate({{"If-Unmodified-Since", before}}), Precondition::Failed);
    EXPECT_EQ(evaluate({{"If-Unmodified-Since", same}}), Precondition::Proceed);
    // If-Match wins over If-Unmodified-Since; a failed one over If-None-Match.
    EXPECT_EQ(evaluate({{"If-Match", "*"}, {"If-Unmodified-Since", before}}),
              Precondition::Proceed);
    EXPECT_EQ(evaluate({{"If-Match", "\"x\""}, {"If-None-Match", "\"abc\""}}),
              Precondition::Failed);
}

TEST(ValidatorsTest, FileValidatorsFollowSizeAndModificationTime) {
    Validators file = fileValidators(13, 1700000000123456789);
    EXPECT_EQ(file.etag, "\"d-17979cfe3d85cd15\"");
    EXPECT_EQ(file.lastModified, 1700000000);
    EXPECT_NE(fileValidators(13, 1700000000123456790).etag, file.etag);
    EXPECT_NE(fileValidators(14, 1700000000123456789).etag, file.etag);
}

TEST(ValidatorsTest, IfRangeNeedsTheCurrentValidator) {
    const Validators current{"\"abc\"", 1000};
    auto holds = [&](const std::string& value) {
        return ifRangeHolds({{"If-Range", value}}, current);
    };
    EXPECT_TRUE(ifRangeHolds({}, current));
    EXPECT_TRUE(holds("\"abc\""));
    EXPECT_TRUE(holds(formatHttpDate(1000)));
    EXPECT_FALSE(holds("\"old\""));
    EXPECT_FALSE(holds("W/\"abc\""));
    EXPECT_FALSE(holds(formatHttpDate(999)));
    EXPECT_FALSE(holds("nonsense"));
}

}  // namespace
}  // namespace http
