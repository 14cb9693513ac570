// Moves a known number of bytes from one socket to another through a pipe
// with splice(2), so that they never enter user memory. Both sockets must be
// non-blocking; the pipe is too. `pump` makes as much progress as it can
// without blocking and says what it waits for; the owner waits for that
// socket's readiness and calls `pump` again.
//
// The pipe is filled only while it is empty, so "would block" from the
// source always means that the source has nothing to read (never that the
// pipe is full), and from the target that the target cannot take more. Never
// more than `length` bytes are taken from the source, so bytes behind them
// (the next request on a kept-alive connection) stay where they are.
//
// The pipe is opened on the first transfer and reused by later ones; a
// transfer that failed with bytes in the pipe has the pipe reopened.
//
// Thread-safety: none; one transfer at a time, driven by one owner.
#pragma once

#include <cstdint>

#include <boost/system/error_code.hpp>

namespace http::detail {

class SplicePipe {
  public:
    enum class State {
        done,          // every byte was delivered to the target
        waitSource,    // the source has nothing to read now
        waitTarget,    // the target takes nothing more now
        yield,         // the round budget is used up; call pump again soon
        failedSource,  // reading failed or the source ended early (`error`)
        failedTarget,  // writing failed (`error`)
    };

    struct Progress {
        State state = State::yield;
        uint64_t taken = 0;      // bytes read from the source in this call
        uint64_t delivered = 0;  // bytes written to the target in this call
        boost::system::error_code error;
    };

    SplicePipe() = default;
    ~SplicePipe();
    SplicePipe(const SplicePipe&) = delete;
    SplicePipe& operator=(const SplicePipe&) = delete;

    // Starts a transfer of `length` bytes from `source` to `target`. Fails
    // (returns the error) only when no pipe can be opened. The descriptors
    // stay owned by the caller and must stay open until the transfer ends.
    boost::system::error_code begin(int source, int target, uint64_t length);

    // Moves bytes with at most `maxCalls` splice calls; see State.
    Progress pump(int maxCalls);

    // Bytes of the current transfer not yet delivered.
    uint64_t remaining() const { return m_toTake + m_inPipe; }

  private:
    bool takeFromSource(Progress& progress);
    bool deliverToTarget(Progress& progress);
    void closePipe();

    int m_pipeRead = -1;
    int m_pipeWrite = -1;
    size_t m_capacity = 0;
    int m_source = -1;
    int m_target = -1;
    uint64_t m_toTake = 0;  // bytes still to read from the source
    uint64_t m_inPipe = 0;  // bytes read but not yet delivered
};

}  // namespace http::detail
