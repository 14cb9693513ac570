// What /proc tells of another process: its resident memory and its open
// files, for the verdicts of the reliability parts.
//
// Thread-safety: stateless; any thread.
#pragma once

namespace reliability {

// The process's resident memory (VmRSS) in kB, or -1 when it cannot be read.
long residentKb(int pid);

// The number of files (sockets included) the process has open, or -1.
long openFiles(int pid);

}  // namespace reliability
