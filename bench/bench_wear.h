// What the platform costs an edge box's flash and memory.
//
//   writes:    bytes written to the block device per change, by the core and
//              the services together (the sum of write_bytes in
//              /proc/<pid>/io: bytes sent to the storage layer, a page each
//              time a clean page is dirtied), over `changes` additions of
//              4 KiB buckets, then as many updates of one attribute, then as
//              many deletions, one at a time on the bucket service's port;
//              on the durable platform and on the relaxed one. Before the
//              changes, the bytes the idle platform writes per second (the
//              writer lease's renewals, a storage commit every 2 s) are
//              measured; they are counted in the changes' bytes like any
//              other write, and their share per change (idle rate times the
//              phase's seconds over its changes) is shown in rows of its own.
//   footprint: a core started `runs` times on one data directory (the
//              first start creates it): the seconds from the start to the
//              core's "READY=1" on a notification socket (what systemd
//              waits for: the bucket service has registered), then the
//              resident memory of the three processes together after two
//              idle seconds.
//
// Thread-safety: one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench_table.h"

namespace bench {

// The sum of write_bytes of `pids` (0 for one that ended). Throws
// std::runtime_error when a running process's io file cannot be read.
uint64_t writtenBytes(const std::vector<pid_t>& pids);

// The core and the processes it launched.
std::vector<pid_t> platformProcesses(pid_t corePid);

struct WriteCosts {
    double perAdd = 0;  // bytes per 4 KiB addition
    double perUpdate = 0;
    double perDelete = 0;
    double seconds = 0;  // of all the changes together
};

// The bytes per second the platform of `corePid` writes while nobody asks
// anything of it, over `seconds`.
double idleWriteRate(pid_t corePid, double seconds);

// Runs the changes on the bucket service at `bucketPort` of the platform of
// `corePid`. Throws std::runtime_error when a change is refused.
WriteCosts measureWriteCosts(uint16_t bucketPort, pid_t corePid, int changes);

// The rows of both platforms; `relaxedCoreApiPort` 0 leaves the relaxed
// rows out.
void addWriteRows(uint16_t coreApiPort, pid_t corePid, uint16_t relaxedCoreApiPort,
                  pid_t relaxedCorePid, int changes, ResultTable& table);

struct FootprintRun {
    double readySeconds = 0;
    uint64_t idleResidentBytes = 0;
};

// Starts `coreBin` with its data in `dataDir` on free ports, waits for
// "READY=1" (at most 30 s), measures and stops it. Throws
// std::runtime_error when it does not get ready or does not stop cleanly.
FootprintRun measureFootprint(const std::string& coreBin, const std::string& dataDir);

void addFootprintRows(const std::string& coreBin, const std::string& workDir, int runs,
                      ResultTable& table);

}  // namespace bench
