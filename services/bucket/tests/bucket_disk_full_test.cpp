// Uploads onto a full disk against the real platform: the storage root is
// a small tmpfs mounted over it while the platform runs (skipped where the
// test may not mount). A refused upload answers a JSON error and leaves no
// file, no row and no ".upload-*"; the service goes on serving, and uploads
// work again once space is freed.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "rest_platform.h"

namespace fs = std::filesystem;
using rest_test::RestTest;

namespace {

constexpr size_t kDiskBytes = 4 << 20;

// A tmpfs of kDiskBytes mounted at a directory for its lifetime.
class SmallDisk {
  public:
    explicit SmallDisk(const std::string& directory) : m_directory(directory) {
        const std::string options = "size=" + std::to_string(kDiskBytes);
        if (::mount("tarvolt-test-disk", directory.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            m_error = std::strerror(errno);
        }
    }
    ~SmallDisk() {
        if (m_error.empty() && ::umount(m_directory.c_str()) != 0) {
            ::umount2(m_directory.c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    // Empty when mounted, else why the mount was refused.
    const std::string& error() const { return m_error; }

  private:
    std::string m_directory;
    std::string m_error;
};

class BucketDiskFullTest : public RestTest {
  protected:
    // The listing, the stored files and the temporary files: what a refused
    // upload must leave unchanged.
    std::string state() {
        std::string text = platform().service().request("GET", "/bucket").body;
        for (const auto& entry : fs::recursive_directory_iterator(platform().storeRoot())) {
            text += "\n" + entry.path().string();
        }
        return text;
    }
    void expectRefusedWithJson(const http::ClientResponse& answer) {
        EXPECT_GE(answer.status, 400) << answer.body;
        EXPECT_NE("<invalid JSON>", rest_test::compact(answer.body)) << answer.body;
        EXPECT_EQ(0u, answer.body.find("{ \"message\" : ")) << answer.body;
    }
};

TEST_F(BucketDiskFullTest, RefusedUploadsLeaveNothingAndTheServiceGoesOn) {
    SmallDisk disk(platform().storeRoot());
    if (!disk.error().empty()) {
        GTEST_SKIP() << "cannot mount a tmpfs: " << disk.error();
    }
    const std::string small(64 * 1024, 's');
    const uint64_t first = platform().addOrThrow(small, "{\"df\":\"first\"}");

    // Larger than the whole disk.
    std::string state = this->state();
    expectRefusedWithJson(
        platform().add(std::string(kDiskBytes + (1 << 20), 'b'), "{\"df\":\"b\"}"));
    EXPECT_EQ(state, this->state());

    // Another writer takes the space while the upload streams.
    const std::string filler = platform().storeRoot() + "/filler";
    {
        std::ofstream out(filler, std::ios::binary);
        out << std::string(kDiskBytes - (1 << 20), 'f');
    }
    state = this->state();
    expectRefusedWithJson(platform().add(std::string(2 << 20, 'c'), "{\"df\":\"c\"}"));
    EXPECT_EQ(state, this->state());

    // Still serving: downloads, matches, uploads once space is free.
    EXPECT_EQ(small, platform().service().request("GET", "/bucket/" + std::to_string(first)).body);
    auto matched = platform().service().request("PUT", "/bucket/match",
                                                "{ \"attributes\" : { \"df\" : \"first\" } }");
    EXPECT_NE(std::string::npos, matched.body.find("\"bucket\" : " + std::to_string(first) + ","));
    fs::remove(filler);
    const uint64_t after = platform().addOrThrow(std::string(2 << 20, 'c'), "{\"df\":\"c\"}");
    EXPECT_EQ(2 << 20,
              platform().service().request("GET", "/bucket/" + std::to_string(after)).body.size());
    EXPECT_TRUE(platform().uploadLeftovers().empty());
}

}  // namespace
