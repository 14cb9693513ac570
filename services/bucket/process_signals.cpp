#include "process_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace {

constexpr char kQuitByte = 0;

// The pipe from the stop-signal handler to the watcher thread. Created once
// per process and never closed, so a late signal never writes to a reused
// descriptor.
int g_pipe[2] = {-1, -1};
std::atomic<int> g_pipeWriteEnd{-1};

void signalHandler(int signalNumber) {
    int savedErrno = errno;
    int fd = g_pipeWriteEnd.load();
    if (fd >= 0) {
        char byte = static_cast<char>(signalNumber);
        // A full pipe already holds a pending stop; dropping this one is fine.
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

void createPipeOnce() {
    if (g_pipeWriteEnd.load() >= 0) {
        return;
    }
    if (pipe2(g_pipe, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "signal pipe");
    }
    fcntl(g_pipe[1], F_SETFL, fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
    g_pipeWriteEnd.store(g_pipe[1]);
}

}  // namespace

StopSignalWatcher::StopSignalWatcher(Callback callback) : m_callback(std::move(callback)) {
    createPipeOnce();
    m_thread = std::thread([this] { run(); });
    signal(SIGHUP, signalHandler);
    signal(SIGINT, signalHandler);
    signal(SIGTERM, signalHandler);
}

StopSignalWatcher::~StopSignalWatcher() {
    char byte = kQuitByte;
    while (write(g_pipe[1], &byte, 1) < 0 && (errno == EINTR || errno == EAGAIN)) {
        usleep(1000);
    }
    m_thread.join();
}

void StopSignalWatcher::run() {
    while (true) {
        char byte;
        ssize_t n = read(g_pipe[0], &byte, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || byte == kQuitByte) {
            return;
        }
        m_callback(static_cast<unsigned char>(byte));
    }
}

int makeDaemon() {
    int logmask = setlogmask(0);
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid > 0) {
        exit(0);
    }
    if (setsid() < 0) {
        return -1;
    }
    setlogmask(logmask);
    // Standard input, output and error on /dev/null.
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) {
        return -1;
    }
    for (int fd = 0; fd <= 2; ++fd) {
        if (fd != null && dup2(null, fd) < 0) {
            return -1;
        }
    }
    if (null > 2) {
        close(null);
    }
    return 0;
}
