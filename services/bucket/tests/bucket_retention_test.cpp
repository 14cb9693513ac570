// Retention against the bucket service in this process: the age rule and
// the disk watermark delete the right buckets through the store, audited
// with their rule, never a held bucket; the dry run changes nothing; bad
// rules change nothing.
#include <algorithm>
#include <ctime>
#include <filesystem>

#include "bucket_service.h"
#include "bucket_store.h"
#include "handler_platform.h"
#include "retention.h"

namespace fs = std::filesystem;
using rest_test::HandlerTest;

namespace {

std::string items(const std::string& maxAge, const std::string& minFree,
                  const std::string& hold = "hold") {
    auto item = [](const std::string& value) {
        return "{ \"description\" : \"d\", \"type\" : \"string\", \"default\" : \"0\", "
               "\"value\" : \"" +
               value + "\" }";
    };
    return "{ \"maxAge\" : " + item(maxAge) + ", \"minFree\" : " + item(minFree) +
           ", \"holdAttribute\" : " + item(hold) + " }";
}

class BucketRetentionTest : public HandlerTest {
  protected:
    // Adds a bucket whose file was last changed `ageSeconds` ago.
    uint64_t addAged(const std::string& content, const std::string& attributes,
                     int64_t ageSeconds) {
        const uint64_t id = platform().addOrThrow(content, attributes);
        fs::last_write_time(platform().bucketPath(id),
                            fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
        // The index learns the time as a start's sweep would.
        EXPECT_TRUE(
            platform().bucketService().store().refreshFileStats(id, platform().bucketPath(id)));
        return id;
    }
    bool stored(uint64_t id) {
        return platform().service().request("GET", "/bucket/" + std::to_string(id)).status == 200;
    }
    void configure(const std::string& categoryItems) {
        platform().bucketService().configChange("Bucket Storage Retention", categoryItems);
    }
};

TEST_F(BucketRetentionTest, AgeRuleDeletesOldBucketsButNeverHeldOnes) {
    const uint64_t old = addAged("old", "{\"t1\":\"old\"}", 7200);
    const uint64_t held = addAged("held", "{\"t1\":\"held\",\"keep\":\"yes\"}", 7200);
    const uint64_t fresh = addAged("fresh", "{\"t1\":\"fresh\"}", 10);
    configure(items("3600", "0", "keep"));
    EXPECT_EQ(3600u, platform().bucketService().retention().rules().maxAgeSeconds);
    EXPECT_EQ("keep", platform().bucketService().retention().rules().holdAttribute);

    // The dry run names the old bucket only and deletes nothing.
    const std::string state = platform().service().request("GET", "/bucket/retention").body;
    EXPECT_NE(std::string::npos,
              state.find("\"dryRun\" : { \"count\" : 1, \"bytes\" : 3, \"buckets\" : [{ "
                         "\"bucket\" : " +
                         std::to_string(old) + ", \"size\" : 3, \"rule\" : \"maxAge\" }] }"))
        << state;
    EXPECT_TRUE(stored(old));

    EXPECT_EQ(1u, platform().bucketService().retention().run());
    EXPECT_FALSE(stored(old));
    EXPECT_FALSE(fs::exists(platform().bucketPath(old)));
    EXPECT_TRUE(stored(held));
    EXPECT_TRUE(stored(fresh));
    EXPECT_EQ(
        "{\"id\":" + std::to_string(old) + ",\"bucket\":{\"t1\":\"old\"},\"rule\":\"maxAge\"}",
        platform().auditDetails("BUCDL").back());

    // Malformed rules are refused and the rules stay as they were.
    configure(items("soon", "0", "keep"));
    configure(items("60", "12x", "keep"));
    EXPECT_EQ(3600u, platform().bucketService().retention().rules().maxAgeSeconds);
    configure(items("0", "0"));  // off again for the next test
}

TEST_F(BucketRetentionTest, WatermarkEvictsTheOldestUntilAboveTheMark) {
    const uint64_t first = addAged(std::string(300, 'a'), "{\"t2\":\"1\"}", 900000);
    const uint64_t held = addAged(std::string(300, 'b'), "{\"t2\":\"2\",\"hold\":\"\"}", 800000);
    const uint64_t second = addAged(std::string(300, 'c'), "{\"t2\":\"3\"}", 700000);
    const uint64_t third = addAged(std::string(300, 'd'), "{\"t2\":\"4\"}", 600000);
    // A disk of 10,000 bytes with 4,600 free and a mark of 50%: 400 bytes to
    // free, so the two oldest unheld buckets go (300 + 300).
    std::vector<std::string> audits;
    Retention retention(
        platform().bucketService().store(),
        [&](const std::string& code, const std::string& detail) {
            audits.push_back(code + detail);
        },
        [](const std::string&) {
            return std::optional<DiskSpace>(DiskSpace{4600, 10000});
        });
    RetentionRules rules;
    ASSERT_EQ("", rules.read(items("0", "50%")));
    retention.setRules(rules);
    EXPECT_TRUE(retention.belowMark());
    EXPECT_EQ(2u, retention.run());
    EXPECT_FALSE(stored(first));
    EXPECT_TRUE(stored(held));
    EXPECT_FALSE(stored(second));
    EXPECT_TRUE(stored(third));
    ASSERT_EQ(2u, audits.size());
    EXPECT_NE(std::string::npos, audits[0].find("\"rule\" : \"minFree\""));

    // In bytes: a mark the free space already meets deletes nothing.
    ASSERT_EQ("", rules.read(items("0", "4600")));
    retention.setRules(rules);
    EXPECT_FALSE(retention.belowMark());
    EXPECT_EQ(0u, retention.run());
    EXPECT_TRUE(stored(third));
}

}  // namespace

namespace {

// The hold is judged on the attributes stored at the deletion itself, not
// on those the plan saw.
TEST_F(BucketRetentionTest, RemovalUnlessKeptJudgesTheStoredAttributes) {
    const uint64_t id = platform().addOrThrow("late", "{\"t3\":\"late\"}");
    BucketStore& store = platform().bucketService().store();
    bool sawOnlyT3 = false;
    BucketStore::Change kept = store.removeUnless(id, [&](Bucket& bucket) {
        const Bucket::Attributes& stored = bucket.getAttributes();
        sawOnlyT3 = stored.size() == 1 && stored.at("t3") == "late";
        return true;
    });
    EXPECT_TRUE(sawOnlyT3);
    EXPECT_EQ(BucketStore::Outcome::Stale, kept.outcome);
    EXPECT_FALSE(kept.removed);
    EXPECT_TRUE(stored(id));

    BucketStore::Change removed = store.removeUnless(id, [](Bucket&) { return false; });
    ASSERT_EQ(BucketStore::Outcome::Written, removed.outcome);
    store.finishFileRemoval(id, removed.removed->getFilename());
    EXPECT_FALSE(stored(id));
}

}  // namespace

namespace {

// `items` of the category with the item `name` set to `value` added.
std::string withItem(const std::string& items, const std::string& name, const std::string& value) {
    return items.substr(0, items.size() - 2) + ", \"" + name +
           "\" : { \"description\" : \"d\", \"type\" : \"string\", \"default\" : \"\", "
           "\"value\" : \"" +
           value + "\" } }";
}

TEST_F(BucketRetentionTest, ConditionsNarrowWhatEachRuleDeletes) {
    const uint64_t logs = addAged("logs", "{\"t4\":\"logs\"}", 7200);
    const uint64_t capture = addAged("capture", "{\"t4\":\"capture\"}", 7200);
    const std::string where = R"({ \"name\" : \"t4\", \"op\" : \"eq\", \"value\" : \"logs\" })";
    configure(withItem(items("3600", "0"), "maxAgeWhere", where));
    EXPECT_EQ(1u, platform().bucketService().retention().run());
    EXPECT_FALSE(stored(logs));
    EXPECT_TRUE(stored(capture));

    // A condition that is refused leaves the rules as they were.
    configure(
        withItem(items("60", "0"), "evictWhere", R"({ \"name\" : \"t4\", \"op\" : \"near\" })"));
    EXPECT_EQ(3600u, platform().bucketService().retention().rules().maxAgeSeconds);
    configure(withItem(withItem(items("0", "0"), "maxAgeWhere", ""), "evictWhere", ""));
    EXPECT_TRUE(stored(capture));
}

}  // namespace

namespace {

// A watermark over more buckets than one page of the index: the plan takes
// the oldest by (time, id) across pages, never a held one; an age rule's
// bucket given new content after the plan stays.
TEST_F(BucketRetentionTest, PlansPageThroughTheIndexOldestFirst) {
    std::vector<InsertValues> rows;
    std::vector<InsertValues> holds;
    for (long i = 0; i < 1203; ++i) {
        const long id = 800000 + i;
        // Times fall as ids rise, in pairs, so neither the id nor the time alone orders them.
        rows.push_back({{"id", id},
                        {"filename", "/nowhere/" + std::to_string(id)},
                        {"size", 1L},
                        {"modified", 1000000L - (i / 2) * 1000}});
        if (i % 100 == 7) {
            holds.push_back({{"id", id}, {"name", "hold"}, {"value", "yes"}});
        }
    }
    for (size_t at = 0; at < rows.size(); at += 1000) {
        std::vector<InsertValues> part(
            rows.begin() + static_cast<long>(at),
            rows.begin() + static_cast<long>(std::min(rows.size(), at + 1000)));
        ASSERT_TRUE(platform().storage().insertAll("Bucket", "buckets", part));
    }
    ASSERT_TRUE(platform().storage().insertAll("Bucket", "bucket_attributes", holds));
    Retention retention(platform().bucketService().store(), {}, [](const std::string&) {
        return std::optional<DiskSpace>(DiskSpace{0, 1000000});  // the mark: 1100 bytes free
    });
    RetentionRules rules;
    ASSERT_EQ("", rules.read(items("0", "1100")));
    retention.setRules(rules);
    std::optional<Retention::Plan> plan = retention.plan(2000000000);
    ASSERT_TRUE(plan);
    // The expected order: time ascending, then id.
    std::vector<std::pair<long, uint64_t>> unheld;
    for (long i = 0; i < 1203; ++i) {
        if (i % 100 != 7) {
            unheld.push_back({1000000L - (i / 2) * 1000, static_cast<uint64_t>(800000 + i)});
        }
    }
    std::sort(unheld.begin(), unheld.end());
    std::vector<uint64_t> expected;
    for (size_t i = 0; i < 1100; ++i) {
        expected.push_back(unheld[i].second);
    }
    std::vector<uint64_t> planned;
    for (const Retention::Deletion& deletion : plan->deletions) {
        planned.push_back(deletion.id);
        EXPECT_EQ("minFree", deletion.rule);
    }
    EXPECT_EQ(expected, planned);
    Query mine(new Where("id", GreaterOrEqual, "800000"));
    platform().storage().remove("Bucket", "buckets", mine);
    platform().storage().remove("Bucket", "bucket_attributes", mine);

    // Old in the index, new on disk (as content replaced after the plan):
    // the rule, tested again at the deletion, keeps it.
    const uint64_t renewed = addAged("renewed", "{\"t5\":\"renewed\"}", 7200);
    fs::last_write_time(platform().bucketPath(renewed), fs::file_time_type::clock::now());
    configure(withItem(items("3600", "0"), "maxAgeWhere",
                       R"({ \"name\" : \"t5\", \"op\" : \"exists\" })"));
    Retention& running = platform().bucketService().retention();
    ASSERT_EQ(1u, running.plan(std::time(nullptr))->deletions.size());
    EXPECT_EQ(0u, running.run());
    EXPECT_TRUE(stored(renewed));
    configure(withItem(items("0", "0"), "maxAgeWhere", ""));
}

}  // namespace
