// Completion condition for asio::async_write that writes everything, letting
// one system call take up to 4 MiB (Asio's own transfer_all stops each call at
// 64 KiB, which doubles the calls for a 128 KiB chunk).
//
// Thread-safety: TransferAllLarge is stateless; TransferAllCounting writes to
// its counter from the read's loop.
#pragma once

#include <cstddef>

#include <cstdint>

#include <boost/system/error_code.hpp>

namespace http::detail {

struct TransferAllLarge {
    size_t operator()(const boost::system::error_code& ec, size_t) const {
        return ec ? 0 : size_t(4) << 20;
    }
};

// TransferAllLarge that also records how many bytes the pending read has
// received so far in `*received` (read on the same loop).
struct TransferAllCounting {
    uint64_t* received;
    size_t operator()(const boost::system::error_code& ec, size_t bytes) const {
        *received = bytes;
        return TransferAllLarge()(ec, bytes);
    }
};

}  // namespace http::detail
