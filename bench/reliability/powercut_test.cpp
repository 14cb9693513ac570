// The power-cut journal on a plain directory, and the file system mounted
// (skipped, with the reason, where FUSE cannot be mounted).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "powercut_journal.h"
#include "powercut_mount.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "<absent>";
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text, bool sync) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    if (sync) {
        fsync(fd);
    }
    close(fd);
}

void syncDirectory(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    fsync(fd);
    close(fd);
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/powercut-test.XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf " + m_path).c_str()); }
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
};

// The journal's hooks called as the file system calls them.
TEST(PowerCutJournal, FilesRevertToTheirSyncedContentsAndNamesToTheirDirectorys) {
    TempDir dir;
    const std::string root = dir.path();
    writeFile(root + "/kept", "0123456789", true);
    writeFile(root + "/gone", "durable", true);
    powercut::Journal journal(root, ".stash");

    const int kept = open((root + "/kept").c_str(), O_RDWR);
    journal.beforeWrite(kept, 2, 3);
    pwrite(kept, "abc", 3, 2);
    journal.fileSynced(kept);  // "01abc56789" is durable
    journal.beforeWrite(kept, 8, 6);
    pwrite(kept, "XYZXYZ", 6, 8);
    journal.beforeResize(kept, 4);
    ftruncate(kept, 4);
    close(kept);

    journal.beforeEntriesChange(".");
    const int fresh = open((root + "/fresh").c_str(), O_WRONLY | O_CREAT, 0644);
    journal.created(fresh);
    journal.beforeWrite(fresh, 0, 3);
    write(fresh, "new", 3);
    close(fresh);
    journal.beforeRemove("gone");
    unlink((root + "/gone").c_str());
    journal.beforeEntriesChange(".");
    mkdir((root + "/sub").c_str(), 0755);
    writeFile(root + "/sub/inner", "x", true);

    const powercut::CutReport report = journal.cut();
    EXPECT_EQ(readFile(root + "/kept"), "01abc56789");
    EXPECT_EQ(readFile(root + "/gone"), "durable");
    EXPECT_EQ(readFile(root + "/fresh"), "<absent>");
    EXPECT_NE(access((root + "/sub").c_str(), F_OK), 0);
    EXPECT_EQ(report.namesDropped, 2u);
    EXPECT_EQ(report.namesRestored, 1u);
    EXPECT_EQ(journal.cuts(), 1u);
}

// The usual way to replace a file: write a temporary one, fsync, rename it
// over the old one; only the directory's fsync makes the rename durable.
TEST(PowerCutFileSystem, OnlyWhatWasSyncedSurvivesACut) {
    TempDir dir;
    powercut::Mount mount(dir.path(), POWERCUT_FS);
    if (!mount.mounted()) {
        GTEST_SKIP() << "powercut-fs could not mount (no /dev/fuse or no right to mount)";
    }
    const std::string root = mount.point();
    ASSERT_EQ(mkdir((root + "/data").c_str(), 0755), 0);
    writeFile(root + "/data/settled", "v1", true);
    writeFile(root + "/data/replaced", "v1", true);
    syncDirectory(root + "/data");
    syncDirectory(root);

    writeFile(root + "/data/.tmp-a", "v2", true);
    ASSERT_EQ(rename((root + "/data/.tmp-a").c_str(), (root + "/data/settled").c_str()), 0);
    syncDirectory(root + "/data");
    writeFile(root + "/data/.tmp-b", "v2", true);
    ASSERT_EQ(rename((root + "/data/.tmp-b").c_str(), (root + "/data/replaced").c_str()), 0);
    writeFile(root + "/data/unsynced", "lost", false);
    mount.control("cut");

    EXPECT_EQ(readFile(root + "/data/settled"), "v2");
    EXPECT_EQ(readFile(root + "/data/replaced"), "v1");
    EXPECT_EQ(readFile(root + "/data/.tmp-b"), "<absent>");
    EXPECT_EQ(readFile(root + "/data/unsynced"), "<absent>");
    EXPECT_EQ(readFile(root + "/.powercut").substr(0, 7), "cuts=1 ");
    EXPECT_EQ(readFile(root + "/.powercut-stash"), "<absent>");
}

}  // namespace
