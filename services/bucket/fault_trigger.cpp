#include "fault_trigger.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            size_t),
                                                         void (*freeHook)(const volatile void*));
#endif

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator has no lock a caller can hold, so the hook it
// runs inside every allocation takes this one: once the trigger thread holds
// it, every allocation of the process waits, as in a stuck allocator.
std::mutex g_allocatorLock;
std::atomic<bool> g_armed{false};

void onAllocation(const volatile void*, size_t) {
    if (!g_armed.load(std::memory_order_relaxed)) {
        return;
    }
    static std::atomic<bool> fired{false};
    if (!fired.exchange(true)) {
        g_allocatorLock.lock();  // held until the process ends
        raise(SIGSEGV);
    }
    std::lock_guard<std::mutex> wait(g_allocatorLock);
}

void onRelease(const volatile void*) {}

void faultInsideAllocator() {
    __sanitizer_install_malloc_and_free_hooks(onAllocation, onRelease);
    g_armed = true;
    void* block = malloc(64);
    free(block);
}
#else
// glibc's malloc_stats writes to stderr while it holds the arena's lock; a
// stream whose write faults puts the fault inside the allocator.
ssize_t faultingWrite(void*, const char*, size_t) {
    raise(SIGSEGV);
    return 0;
}

void faultInsideAllocator() {
    cookie_io_functions_t functions{};
    functions.write = faultingWrite;
    FILE* stream = fopencookie(nullptr, "w", functions);
    setvbuf(stream, nullptr, _IONBF, 0);
    stderr = stream;
    malloc_stats();
}
#endif

void waitAndFault(sigset_t signals) {
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    faultInsideAllocator();
}

}  // namespace

void armFaultTrigger() {
    const char* where = getenv("TARVOLT_TEST_FAULT");
    if (where == nullptr || strcmp(where, "allocator") != 0) {
        return;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(waitAndFault, signals).detach();
}

namespace {

// "<step>" or "<step>@<n>" (the nth time the step is reached, from 1).
struct CrashTarget {
    std::string step;
    unsigned long at = 1;
    std::atomic<unsigned long> reached{0};
};

CrashTarget* crashTarget() {
    static CrashTarget* const target = []() -> CrashTarget* {
        const char* text = getenv("TARVOLT_TEST_CRASH_AT");
        if (text == nullptr || *text == '\0') {
            return nullptr;
        }
        auto* parsed = new CrashTarget;  // lives as long as the process
        const char* mark = strchr(text, '@');
        parsed->step = mark == nullptr ? std::string(text) : std::string(text, mark);
        if (mark != nullptr) {
            parsed->at = std::max(1ul, strtoul(mark + 1, nullptr, 10));
        }
        return parsed;
    }();
    return target;
}

}  // namespace

void crashPoint(const char* step) {
    CrashTarget* target = crashTarget();
    if (target != nullptr && target->step == step && ++target->reached >= target->at) {
        raise(SIGKILL);
    }
}
