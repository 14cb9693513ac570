// What a power cut would take away from a directory tree. The tree (the
// "backing" directory) always holds the current state; the journal keeps
// what is needed to bring it back to its durable state:
//
// - for each file written or truncated since its last fsync: its size at
//   that fsync and the bytes that were overwritten since (an undo log);
// - for each directory whose entries changed since its last fsync: its
//   entries (name -> inode) at that fsync, with every file that one of those
//   names referred to kept alive by a hard link in a stash directory.
//
// `cut` applies all of it: every file reverts to its contents at its last
// fsync (a file never synced becomes empty), and every directory to its
// entries at its last fsync (names created or renamed since vanish, names
// removed or renamed away come back). `syncAll` makes the current state
// durable, as `sync` does. Everything present when the journal starts is
// durable.
//
// Limits: a renamed directory is not brought back under its old name (an
// empty directory takes its place); writes through O_SYNC handles count as
// unsynced until an fsync. Neither happens on the platform's data
// directory.
//
// Thread-safety: none; the file system calls it from one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace powercut {

struct CutReport {
    uint64_t filesReverted = 0;  // files whose contents went back
    uint64_t bytesDropped = 0;   // unsynced bytes written or kept past the synced size
    uint64_t namesDropped = 0;   // names created or renamed since their directory's fsync
    uint64_t namesRestored = 0;  // durable names brought back
};

class Journal {
  public:
    // Journals the tree under `root`; `stashName` is a directory directly
    // under the root that the journal owns (created when absent, emptied).
    // Throws std::runtime_error when the root cannot be opened.
    Journal(const std::string& root, const std::string& stashName);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Before `length` bytes are written at `offset` to the open file `fd`.
    void beforeWrite(int fd, off_t offset, size_t length);
    // Before the open file `fd` is truncated or extended to `size`.
    void beforeResize(int fd, off_t size);
    // After the file `fd` was created (it has no durable contents).
    void created(int fd);
    // After an fsync or fdatasync of `fd`: its contents are durable.
    void fileSynced(int fd);

    // Before an entry of the directory `dir` (relative to the root, "." for
    // the root) is created, removed or renamed.
    void beforeEntriesChange(const std::string& dir);
    // Before the entry `path` (relative to the root) is removed or renamed
    // away: keeps the file alive if a durable name refers to it.
    void beforeRemove(const std::string& path);
    // After an fsync of the open directory `dirFd`: its entries are durable.
    void directorySynced(int dirFd);

    // Drops everything that was not made durable. Returns what it did.
    CutReport cut();
    // Makes everything durable.
    void syncAll();

    // Totals of every cut so far, and the number of cuts.
    const CutReport& totals() const { return m_totals; }
    uint64_t cuts() const { return m_cuts; }

  private:
    struct FileState {
        int fd = -1;  // read-write handle of the file
        off_t syncedSize = 0;
        std::vector<std::pair<off_t, std::string>> undo;  // overwritten bytes, oldest first
    };
    struct Entry {
        ino_t inode = 0;
        bool directory = false;
    };
    struct DirectoryState {
        int fd = -1;
        std::map<std::string, Entry> durable;
    };

    FileState& track(int fd);
    void saveRange(FileState& state, off_t offset, off_t end);
    void revertFile(FileState& state, CutReport& report);
    void restoreDirectory(DirectoryState& state, CutReport& report);
    std::map<std::string, Entry> listEntries(int dirFd, bool isRoot) const;
    bool isDurableName(const std::string& path, ino_t inode) const;
    void clear();

    int m_rootFd = -1;
    int m_stashFd = -1;
    ino_t m_rootInode = 0;
    std::string m_stashName;
    std::map<ino_t, FileState> m_files;
    std::map<ino_t, DirectoryState> m_directories;
    CutReport m_totals;
    uint64_t m_cuts = 0;
};

// Removes `name` in `dirFd`, a whole tree when it is a directory. False when
// something could not be removed.
bool removeTree(int dirFd, const std::string& name);

}  // namespace powercut
