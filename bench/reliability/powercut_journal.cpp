// The undo journal of the power-cut file system.
#include "powercut_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace powercut {

namespace {

// A second, read-write handle of the open file `fd` (its own offset).
int reopen(int fd) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return open(self.c_str(), O_RDWR | O_CLOEXEC);
}

ino_t inodeOf(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? status.st_ino : 0;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Calls `visit(name)` for each entry of the directory `dirFd` but "." and "..".
template <class Visit>
void forEachEntry(int dirFd, Visit visit) {
    const int copy = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* directory = copy >= 0 ? fdopendir(copy) : nullptr;
    if (directory == nullptr) {
        if (copy >= 0) {
            close(copy);
        }
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(directory);
    for (const std::string& name : names) {
        visit(name);
    }
}

}  // namespace

bool removeTree(int dirFd, const std::string& name) {
    struct stat status {};
    if (fstatat(dirFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        return unlinkat(dirFd, name.c_str(), 0) == 0;
    }
    const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    bool removed = true;
    forEachEntry(fd, [&](const std::string& child) { removed = removeTree(fd, child) && removed; });
    close(fd);
    return unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0 && removed;
}

Journal::Journal(const std::string& root, const std::string& stashName) : m_stashName(stashName) {
    m_rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_rootFd < 0) {
        throw std::runtime_error("cannot open " + root);
    }
    m_rootInode = inodeOf(m_rootFd);
    removeTree(m_rootFd, stashName);
    mkdirat(m_rootFd, stashName.c_str(), 0700);
    m_stashFd = openat(m_rootFd, stashName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_stashFd < 0) {
        close(m_rootFd);
        throw std::runtime_error("cannot create " + root + "/" + stashName);
    }
}

Journal::~Journal() {
    clear();
    close(m_stashFd);
    removeTree(m_rootFd, m_stashName);
    close(m_rootFd);
}

Journal::FileState& Journal::track(int fd) {
    struct stat status {};
    fstat(fd, &status);
    auto found = m_files.find(status.st_ino);
    if (found != m_files.end()) {
        return found->second;
    }
    FileState& state = m_files[status.st_ino];
    state.fd = reopen(fd);
    state.syncedSize = status.st_size;
    return state;
}

void Journal::saveRange(FileState& state, off_t offset, off_t end) {
    end = std::min(end, state.syncedSize);
    if (offset >= end || state.fd < 0) {
        return;
    }
    std::string bytes(static_cast<size_t>(end - offset), '\0');
    const ssize_t got = pread(state.fd, bytes.data(), bytes.size(), offset);
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    state.undo.emplace_back(offset, std::move(bytes));
}

void Journal::beforeWrite(int fd, off_t offset, size_t length) {
    saveRange(track(fd), offset, offset + static_cast<off_t>(length));
}

void Journal::beforeResize(int fd, off_t size) {
    FileState& state = track(fd);
    saveRange(state, size, state.syncedSize);
}

void Journal::created(int fd) {
    FileState& state = track(fd);
    state.syncedSize = 0;
    state.undo.clear();
}

void Journal::fileSynced(int fd) {
    auto found = m_files.find(inodeOf(fd));
    if (found != m_files.end()) {
        close(found->second.fd);
        m_files.erase(found);
    }
}

std::map<std::string, Journal::Entry> Journal::listEntries(int dirFd, bool isRoot) const {
    std::map<std::string, Entry> entries;
    forEachEntry(dirFd, [&](const std::string& name) {
        struct stat status {};
        if ((isRoot && name == m_stashName) ||
            fstatat(dirFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return;
        }
        entries[name] = Entry{status.st_ino, S_ISDIR(status.st_mode)};
    });
    return entries;
}

void Journal::beforeEntriesChange(const std::string& dir) {
    const int fd = openat(m_rootFd, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const ino_t inode = inodeOf(fd);
    if (m_directories.count(inode) != 0) {
        close(fd);
        return;
    }
    DirectoryState& state = m_directories[inode];
    state.fd = fd;
    state.durable = listEntries(fd, inode == m_rootInode);
}

bool Journal::isDurableName(const std::string& path, ino_t inode) const {
    struct stat parent {};
    if (fstatat(m_rootFd, parentOf(path).c_str(), &parent, 0) != 0) {
        return false;
    }
    auto state = m_directories.find(parent.st_ino);
    if (state == m_directories.end()) {
        return true;  // the directory is unchanged since its last fsync
    }
    auto entry = state->second.durable.find(baseOf(path));
    return entry != state->second.durable.end() && entry->second.inode == inode;
}

void Journal::beforeRemove(const std::string& path) {
    struct stat status {};
    if (fstatat(m_rootFd, path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        S_ISDIR(status.st_mode) || !isDurableName(path, status.st_ino)) {
        return;
    }
    const std::string kept = std::to_string(status.st_ino);
    linkat(m_rootFd, path.c_str(), m_stashFd, kept.c_str(), 0);  // EEXIST: kept already
}

void Journal::directorySynced(int dirFd) {
    auto found = m_directories.find(inodeOf(dirFd));
    if (found != m_directories.end()) {
        close(found->second.fd);
        m_directories.erase(found);
    }
}

void Journal::restoreDirectory(DirectoryState& state, CutReport& report) {
    const bool isRoot = inodeOf(state.fd) == m_rootInode;
    const std::map<std::string, Entry> current = listEntries(state.fd, isRoot);
    for (const auto& [name, entry] : current) {
        auto durable = state.durable.find(name);
        if (durable == state.durable.end() || durable->second.inode != entry.inode) {
            removeTree(state.fd, name);
            report.namesDropped++;
        }
    }
    for (const auto& [name, entry] : state.durable) {
        auto now = current.find(name);
        if (now != current.end() && now->second.inode == entry.inode) {
            continue;
        }
        const bool restored = entry.directory
                                  ? mkdirat(state.fd, name.c_str(), 0755) == 0
                                  : linkat(m_stashFd, std::to_string(entry.inode).c_str(), state.fd,
                                           name.c_str(), 0) == 0;
        report.namesRestored += restored ? 1 : 0;
    }
}

void Journal::revertFile(FileState& state, CutReport& report) {
    struct stat status {};
    if (state.fd < 0 || fstat(state.fd, &status) != 0) {
        return;
    }
    uint64_t dropped = status.st_size > state.syncedSize
                           ? static_cast<uint64_t>(status.st_size - state.syncedSize)
                           : 0;
    for (auto undo = state.undo.rbegin(); undo != state.undo.rend(); ++undo) {
        dropped += undo->second.size();
        if (pwrite(state.fd, undo->second.data(), undo->second.size(), undo->first) < 0) {
            break;
        }
    }
    if (ftruncate(state.fd, state.syncedSize) == 0 && dropped > 0) {
        report.filesReverted++;
        report.bytesDropped += dropped;
    }
}

CutReport Journal::cut() {
    CutReport report;
    for (auto& entry : m_directories) {
        restoreDirectory(entry.second, report);
    }
    for (auto& entry : m_files) {
        revertFile(entry.second, report);
    }
    clear();
    m_cuts++;
    m_totals.filesReverted += report.filesReverted;
    m_totals.bytesDropped += report.bytesDropped;
    m_totals.namesDropped += report.namesDropped;
    m_totals.namesRestored += report.namesRestored;
    return report;
}

void Journal::syncAll() {
    clear();
}

void Journal::clear() {
    for (auto& entry : m_files) {
        close(entry.second.fd);
    }
    for (auto& entry : m_directories) {
        close(entry.second.fd);
    }
    m_files.clear();
    m_directories.clear();
    forEachEntry(m_stashFd, [&](const std::string& name) { removeTree(m_stashFd, name); });
}

}  // namespace powercut
