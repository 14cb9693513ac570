// powercut-fs: a FUSE pass-through file system that can lose power.
//
//   powercut-fs BACKING_DIR MOUNT_POINT
//
// Mounts BACKING_DIR at MOUNT_POINT (in the foreground, one thread) and keeps
// a journal of every change not yet made durable by an fsync (see
// powercut_journal.h). The file ".powercut" at the root of the mount takes
// commands: writing "cut" drops everything that is not durable, as a power
// cut would (stop every process using the mount first); writing "sync" makes
// everything durable. Reading it gives the totals of the cuts so far:
// "cuts=N files_reverted=N bytes_dropped=N names_dropped=N names_restored=N".
// Unmount with `fusermount3 -u MOUNT_POINT`.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "powercut_journal.h"

namespace {

const char* const kControlPath = "/.powercut";
const char* const kStashName = ".powercut-stash";
constexpr uint64_t kControlHandle = ~0ULL;

int g_root = -1;
std::unique_ptr<powercut::Journal> g_journal;

// The path relative to the backing root ("." for the root itself).
std::string relative(const char* path) {
    return path[0] == '/' && path[1] == '\0' ? "." : std::string(path + 1);
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool hidden(const char* path) {
    const std::string stash = std::string("/") + kStashName;
    return path != nullptr && std::strncmp(path, stash.c_str(), stash.size()) == 0 &&
           (path[stash.size()] == '\0' || path[stash.size()] == '/');
}

int result(int rc) {
    return rc < 0 ? -errno : 0;
}

int fileHandle(fuse_file_info* fi) {
    return static_cast<int>(fi->fh);
}

std::string statistics() {
    const powercut::CutReport& totals = g_journal->totals();
    return "cuts=" + std::to_string(g_journal->cuts()) +
           " files_reverted=" + std::to_string(totals.filesReverted) +
           " bytes_dropped=" + std::to_string(totals.bytesDropped) +
           " names_dropped=" + std::to_string(totals.namesDropped) +
           " names_restored=" + std::to_string(totals.namesRestored) + "\n";
}

int command(const char* text, size_t size) {
    std::string word(text, size);
    while (!word.empty() && (word.back() == '\n' || word.back() == ' ')) {
        word.pop_back();
    }
    if (word == "cut") {
        g_journal->cut();
    } else if (word == "sync") {
        g_journal->syncAll();
    } else {
        return -EINVAL;
    }
    return static_cast<int>(size);
}

void* init(fuse_conn_info*, fuse_config* cfg) {
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->hard_remove = 1;  // no ".fuse_hidden" files for unlinked open files
    cfg->nullpath_ok = 1;
    cfg->use_ino = 1;
    return nullptr;
}

int getattr(const char* path, struct stat* st, fuse_file_info* fi) {
    if (fi != nullptr && fi->fh == kControlHandle) {
        path = kControlPath;
    } else if (fi != nullptr) {
        return result(fstat(fileHandle(fi), st));
    }
    if (std::strcmp(path, kControlPath) == 0) {
        std::memset(st, 0, sizeof *st);
        st->st_mode = S_IFREG | 0600;
        st->st_nlink = 1;
        return 0;
    }
    if (hidden(path)) {
        return -ENOENT;
    }
    return result(fstatat(g_root, relative(path).c_str(), st, AT_SYMLINK_NOFOLLOW));
}

int opendir(const char* path, fuse_file_info* fi) {
    if (hidden(path)) {
        return -ENOENT;
    }
    const int fd = openat(g_root, relative(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int releasedir(const char*, fuse_file_info* fi) {
    return result(close(fileHandle(fi)));
}

int readdir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
            fuse_readdir_flags) {
    const int fd = openat(fileHandle(fi), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* directory = fd >= 0 ? fdopendir(fd) : nullptr;
    if (directory == nullptr) {
        const int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return -error;
    }
    struct stat own {
    }, root{};
    const bool isRoot =
        fstat(fileHandle(fi), &own) == 0 && fstat(g_root, &root) == 0 && own.st_ino == root.st_ino;
    while (dirent* entry = ::readdir(directory)) {
        if (!(isRoot && std::strcmp(entry->d_name, kStashName) == 0)) {
            fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        }
    }
    closedir(directory);
    return 0;
}

int mkdir(const char* path, mode_t mode) {
    const std::string name = relative(path);
    g_journal->beforeEntriesChange(parentOf(name));
    return result(mkdirat(g_root, name.c_str(), mode));
}

int unlink(const char* path) {
    const std::string name = relative(path);
    g_journal->beforeEntriesChange(parentOf(name));
    g_journal->beforeRemove(name);
    return result(unlinkat(g_root, name.c_str(), 0));
}

int rmdir(const char* path) {
    const std::string name = relative(path);
    g_journal->beforeEntriesChange(parentOf(name));
    return result(unlinkat(g_root, name.c_str(), AT_REMOVEDIR));
}

int rename(const char* from, const char* to, unsigned int flags) {
    const std::string source = relative(from);
    const std::string target = relative(to);
    g_journal->beforeEntriesChange(parentOf(source));
    g_journal->beforeEntriesChange(parentOf(target));
    g_journal->beforeRemove(source);
    g_journal->beforeRemove(target);
    return result(renameat2(g_root, source.c_str(), g_root, target.c_str(), flags));
}

int link(const char* from, const char* to) {
    const std::string target = relative(to);
    g_journal->beforeEntriesChange(parentOf(target));
    return result(linkat(g_root, relative(from).c_str(), g_root, target.c_str(), 0));
}

int symlink(const char* content, const char* path) {
    const std::string name = relative(path);
    g_journal->beforeEntriesChange(parentOf(name));
    return result(symlinkat(content, g_root, name.c_str()));
}

int readlink(const char* path, char* buffer, size_t size) {
    const ssize_t length = readlinkat(g_root, relative(path).c_str(), buffer, size - 1);
    if (length < 0) {
        return -errno;
    }
    buffer[length] = '\0';
    return 0;
}

int chmod(const char* path, mode_t mode, fuse_file_info* fi) {
    return fi != nullptr ? result(fchmod(fileHandle(fi), mode))
                         : result(fchmodat(g_root, relative(path).c_str(), mode, 0));
}

int chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
    return fi != nullptr
               ? result(fchown(fileHandle(fi), uid, gid))
               : result(fchownat(g_root, relative(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW));
}

int truncate(const char* path, off_t size, fuse_file_info* fi) {
    if (fi != nullptr && fi->fh != kControlHandle) {
        g_journal->beforeResize(fileHandle(fi), size);
        return result(ftruncate(fileHandle(fi), size));
    }
    if (path != nullptr && std::strcmp(path, kControlPath) == 0) {
        return 0;
    }
    const int fd = openat(g_root, relative(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    g_journal->beforeResize(fd, size);
    const int rc = result(ftruncate(fd, size));
    close(fd);
    return rc;
}

int utimens(const char* path, const timespec times[2], fuse_file_info* fi) {
    return fi != nullptr ? result(futimens(fileHandle(fi), times))
                         : result(utimensat(g_root, relative(path).c_str(), times, 0));
}

// Opens the backing file; a truncation on open is journaled first.
int openBacking(const std::string& name, int flags, mode_t mode, fuse_file_info* fi) {
    const int fd = openat(g_root, name.c_str(), (flags & ~O_TRUNC) | O_CLOEXEC, mode);
    if (fd < 0) {
        return -errno;
    }
    if ((flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY) {
        g_journal->beforeResize(fd, 0);
        if (ftruncate(fd, 0) != 0) {
            const int error = errno;
            close(fd);
            return -error;
        }
    }
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int open(const char* path, fuse_file_info* fi) {
    if (std::strcmp(path, kControlPath) == 0) {
        fi->fh = kControlHandle;
        fi->direct_io = 1;
        return 0;
    }
    if (hidden(path)) {
        return -ENOENT;
    }
    return openBacking(relative(path), fi->flags, 0, fi);
}

int create(const char* path, mode_t mode, fuse_file_info* fi) {
    if (hidden(path) || std::strcmp(path, kControlPath) == 0) {
        return -EACCES;
    }
    const std::string name = relative(path);
    struct stat existing {};
    const bool isNew = fstatat(g_root, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0;
    if (isNew) {
        g_journal->beforeEntriesChange(parentOf(name));
    }
    const int rc = openBacking(name, fi->flags | O_CREAT, mode, fi);
    if (rc == 0 && isNew) {
        g_journal->created(fileHandle(fi));
    }
    return rc;
}

int read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    if (fi->fh == kControlHandle) {
        const std::string text = statistics();
        if (offset >= static_cast<off_t>(text.size())) {
            return 0;
        }
        const size_t count = std::min(size, text.size() - static_cast<size_t>(offset));
        std::memcpy(buffer, text.data() + offset, count);
        return static_cast<int>(count);
    }
    const ssize_t count = pread(fileHandle(fi), buffer, size, offset);
    return count < 0 ? -errno : static_cast<int>(count);
}

int write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    if (fi->fh == kControlHandle) {
        return command(buffer, size);
    }
    g_journal->beforeWrite(fileHandle(fi), offset, size);
    const ssize_t count = pwrite(fileHandle(fi), buffer, size, offset);
    return count < 0 ? -errno : static_cast<int>(count);
}

int release(const char*, fuse_file_info* fi) {
    if (fi->fh != kControlHandle) {
        close(fileHandle(fi));
    }
    return 0;
}

// The durability is the journal's to decide: nothing reaches the backing
// disk's platter here, which keeps the tests fast.
int fsync(const char*, int, fuse_file_info* fi) {
    if (fi->fh != kControlHandle) {
        g_journal->fileSynced(fileHandle(fi));
    }
    return 0;
}

int fsyncdir(const char*, int, fuse_file_info* fi) {
    g_journal->directorySynced(fileHandle(fi));
    return 0;
}

int statfs(const char*, struct statvfs* st) {
    return result(fstatvfs(g_root, st));
}

int fallocate(const char*, int mode, off_t offset, off_t length, fuse_file_info* fi) {
    g_journal->beforeWrite(fileHandle(fi), offset, static_cast<size_t>(length));
    return result(::fallocate(fileHandle(fi), mode, offset, length));
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.init = init;
    ops.getattr = getattr;
    ops.opendir = opendir;
    ops.releasedir = releasedir;
    ops.readdir = readdir;
    ops.mkdir = mkdir;
    ops.unlink = unlink;
    ops.rmdir = rmdir;
    ops.rename = rename;
    ops.link = link;
    ops.symlink = symlink;
    ops.readlink = readlink;
    ops.chmod = chmod;
    ops.chown = chown;
    ops.truncate = truncate;
    ops.utimens = utimens;
    ops.open = open;
    ops.create = create;
    ops.read = read;
    ops.write = write;
    ops.release = release;
    ops.fsync = fsync;
    ops.fsyncdir = fsyncdir;
    ops.statfs = statfs;
    ops.fallocate = fallocate;
    return ops;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: powercut-fs BACKING_DIR MOUNT_POINT\n");
        return 2;
    }
    g_root = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_root < 0) {
        std::perror(argv[1]);
        return 1;
    }
    g_journal = std::make_unique<powercut::Journal>(argv[1], kStashName);
    std::vector<char*> arguments{argv[0],
                                 argv[2],
                                 const_cast<char*>("-f"),
                                 const_cast<char*>("-s"),
                                 const_cast<char*>("-o"),
                                 const_cast<char*>("fsname=powercut,subtype=powercut")};
    const fuse_operations ops = operations();
    const int status =
        fuse_main(static_cast<int>(arguments.size()), arguments.data(), &ops, nullptr);
    g_journal.reset();
    close(g_root);
    return status;
}
