// The crash reporter of the tarvolt-bucket process (declared in
// process_signals.h). It runs inside a fault handler, where the allocator,
// stdio or the logger may hold a lock of the faulting thread, so it only
// uses calls that are safe there: backtrace (primed at installation),
// dladdr, backtrace_symbols_fd, read, writev and _exit. Each line is built
// in a stack buffer by CrashLine and written to standard error, which is
// the service's log file when the core launched it.
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "crash_line.h"
#include "process_signals.h"

namespace {

constexpr int kMaxFrames = 20;

// The application name of the process logger, copied at installation so
// that the handler reads a fixed buffer.
char g_application[64] = "tarvolt";

// A pipe that turns backtrace_symbols_fd's output into text the handler can
// put into a line (backtrace_symbols itself allocates). Both ends are non
// blocking; -1 when it could not be created.
int g_symbolPipe[2] = {-1, -1};

// Set by the first thread that reports; a second faulting thread waits for
// the first one to end the process instead of mixing its lines in.
std::atomic<bool> g_reporting{false};

// strsignal's text for the fault signals (strsignal itself may allocate to
// translate).
const char* faultName(int signalNumber) {
    switch (signalNumber) {
        case SIGSEGV:
            return "Segmentation fault";
        case SIGILL:
            return "Illegal instruction";
        case SIGBUS:
            return "Bus error";
        case SIGFPE:
            return "Floating point exception";
        case SIGABRT:
            return "Aborted";
        default:
            return "Unknown signal";
    }
}

void drainSymbolPipe(char* buffer, size_t size, size_t* length) {
    *length = 0;
    while (true) {
        ssize_t n = read(g_symbolPipe[0], buffer + *length, size - *length);
        if (n <= 0) {
            return;
        }
        *length += static_cast<size_t>(n);
        if (*length == size) {
            // Full: keep what fits and throw the rest away.
            char rest[256];
            while (read(g_symbolPipe[0], rest, sizeof(rest)) > 0) {
            }
            return;
        }
    }
}

// Appends backtrace_symbols' text for `address` ("binary(symbol+0x..)[0x..]"),
// or "[address]" when the pipe is missing.
void appendSymbolsText(CrashLine& line, void* address) {
    if (g_symbolPipe[0] < 0) {
        line.text("[").pointer(address).text("]");
        return;
    }
    char text[CrashLine::kCapacity];
    size_t length = 0;
    drainSymbolPipe(text, sizeof(text), &length);  // leftovers of an earlier frame
    backtrace_symbols_fd(&address, 1, g_symbolPipe[1]);
    drainSymbolPipe(text, sizeof(text), &length);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        --length;
    }
    line.bytes(text, length);
}

// Frame i as "%-3d %*p %s + %zd---------" (width 18: the address, the
// symbol, the distance from the symbol's start) when dladdr names the
// symbol, else "%-3d %*p %s---------" with backtrace_symbols' text. Names
// stay as the dynamic symbol table holds them: demangling allocates.
void describeFrame(CrashLine& frame, int i, void* address) {
    frame.decimal(i, 3, true).text(" ").pointer(address, 18).text(" ");
    Dl_info info;
    if (dladdr(address, &info) != 0 && info.dli_sname != nullptr) {
        const long long offset =
            static_cast<const char*>(address) - static_cast<const char*>(info.dli_saddr);
        frame.text(info.dli_sname).text(" + ").decimal(offset);
    } else {
        appendSymbolsText(frame, address);
    }
    frame.text("---------");
}

void writeLine(const CrashLine& line) {
    char newline = '\n';
    iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
    ssize_t ignored = writev(STDERR_FILENO, parts, 2);
    (void)ignored;
}

}  // namespace

void handler(int signalNumber) {
    if (g_reporting.exchange(true)) {
        while (true) {
            pause();
        }
    }
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    CrashLine line;
    line.text(g_application).text(" FATAL: Signal ").decimal(signalNumber);
    line.text(" (").text(faultName(signalNumber)).text(") trapped:");
    writeLine(line);
    for (int i = 0; i < count; i++) {
        CrashLine frame;
        describeFrame(frame, i, frames[i]);
        line.clear();
        line.text(g_application).text(" FATAL: (").decimal(i).text(") ").line(frame);
        writeLine(line);
    }
    _exit(1);
}

void installCrashHandler(const std::string& application) {
    snprintf(g_application, sizeof(g_application), "%s", application.c_str());
    if (g_symbolPipe[0] < 0 && pipe2(g_symbolPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_symbolPipe[0] = g_symbolPipe[1] = -1;
    }
    // The first backtrace loads the unwinder and the first dladdr and
    // backtrace_symbols_fd may set up the loader's tables, which allocates;
    // do it now rather than inside the handler.
    void* frame[1];
    if (backtrace(frame, 1) == 1) {
        CrashLine unused;
        describeFrame(unused, 0, frame[0]);
        appendSymbolsText(unused, frame[0]);
    }
    signal(SIGSEGV, handler);
    signal(SIGILL, handler);
    signal(SIGBUS, handler);
    signal(SIGFPE, handler);
    signal(SIGABRT, handler);
}
