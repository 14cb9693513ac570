#include "file_util.h"

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

class FileUtilTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/file-util-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        for (const std::string& name : names()) {
            ::unlink((m_dir + "/" + name).c_str());
        }
        ::rmdir(m_dir.c_str());
    }

    // The names in the directory, "." and ".." left out.
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        DIR* dir = ::opendir(m_dir.c_str());
        while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                found.push_back(name);
            }
        }
        if (dir) {
            ::closedir(dir);
        }
        return found;
    }

    std::string m_dir;
};

TEST_F(FileUtilTest, WriteAllRetriesShortWritesAndReportsTheFailure) {
    std::string written;
    int calls = 0;
    // Takes at most 3 bytes per call and is interrupted every third call.
    WriteFunction trickle = [&](int, const void* data, size_t size) -> ssize_t {
        if (++calls % 3 == 0) {
            errno = EINTR;
            return -1;
        }
        const size_t taken = size < 3 ? size : 3;
        written.append(static_cast<const char*>(data), taken);
        return static_cast<ssize_t>(taken);
    };
    const std::string text = "a text longer than one write";
    EXPECT_EQ(writeAll(-1, text.data(), text.size(), trickle), 0);
    EXPECT_EQ(written, text);

    WriteFunction full = [](int, const void*, size_t) -> ssize_t { return 0; };
    EXPECT_EQ(writeAll(-1, "x", 1, full), ENOSPC);
    EXPECT_EQ(writeAll(-1, "x", 1), EBADF);
}

TEST_F(FileUtilTest, ReplacementIsWholeOrNothing) {
    const std::string path = m_dir + "/state.json";
    ASSERT_TRUE(writeFileAtomically(path, "first").ok());
    ASSERT_TRUE(writeFileAtomically(path, "second, longer").ok());
    std::string content;
    EXPECT_EQ(readWholeFile(path, content), 0);
    EXPECT_EQ(content, "second, longer");

    // A failing or throwing writer leaves the old file and no temporary.
    FileStatus failed = writeFileAtomically(path, [](int) { return EIO; });
    EXPECT_EQ(failed.step, FileStatus::Step::write);
    EXPECT_EQ(failed.message(), "Cannot write " + path + ".tmp: " + std::strerror(EIO));
    AtomicWrite unique;
    unique.temporary = m_dir + "/.upload-XXXXXX";
    unique.sync = false;
    EXPECT_THROW(writeFileAtomically(
                     path, [](int) -> int { throw std::runtime_error("refused"); }, unique),
                 std::runtime_error);
    EXPECT_EQ(readWholeFile(path, content), 0);
    EXPECT_EQ(content, "second, longer");
    EXPECT_EQ(names(), std::vector<std::string>{"state.json"});

    FileStatus missing = writeFileAtomically(m_dir + "/no/such/file", "x");
    EXPECT_EQ(missing.step, FileStatus::Step::create);
    EXPECT_EQ(missing.error, ENOENT);
}

TEST_F(FileUtilTest, ReadsWholeFilesAndTellsAMissingOne) {
    const std::string path = m_dir + "/large";
    std::string large(200000, '\0');
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7);
    }
    ASSERT_TRUE(writeFileAtomically(path, large).ok());
    std::string content = "replaced";
    EXPECT_EQ(readWholeFile(path, content), 0);
    EXPECT_EQ(content, large);
    EXPECT_EQ(readWholeFile(m_dir + "/missing", content), ENOENT);
    EXPECT_EQ(syncDirectory(m_dir), 0);
    EXPECT_EQ(parentDirectory(path), m_dir);
    EXPECT_EQ(parentDirectory("plain"), ".");
}

}  // namespace
