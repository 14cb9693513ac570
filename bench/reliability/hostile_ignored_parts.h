// The hostile kind "64 large ignored file parts": multipart forms whose
// parts the bucket service does not read, each of them large, sent to the
// bucket port and through the core. The service must drop those bytes as
// they arrive: no temporary file under the data directory at any moment,
// memory bounded, and the answer the form deserves (202 with the file
// stored intact when the form also holds "attributes" and "bucket", 400
// when it holds nothing else).
//
// Thread-safety: runs on the caller's thread, plus one sampling thread of
// its own for the duration of each form.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace reliability {

struct IgnoredPartsSetup {
    uint16_t bucketPort = 0;
    uint16_t corePort = 0;
    std::vector<int> pids;          // processes whose memory must stay bounded
    std::string dataDir;            // searched for ".upload-*" temporary files
    uint64_t partBytes = 16 << 20;  // bytes of each ignored part
};

// One verdict: whether it held and the line that says what was seen.
using VerdictFunction = std::function<void(bool ok, const std::string& what)>;

// Sends the forms to both ports, one after the other, and reports three
// verdicts (answers, temporary files, memory) through `verdict`.
void runIgnoredPartsKind(const IgnoredPartsSetup& setup, const VerdictFunction& verdict);

}  // namespace reliability
