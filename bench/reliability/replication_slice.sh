#!/usr/bin/env bash
# The fast slice of the replication part, run by CTest: 4 clients for 12 s
# over powercut-fs replicating into a fresh radosgw; the bucket service
# killed once, one power cut, radosgw killed once and stopped for 3 s; then
# the comparison of the store with the source. Prints why it was skipped
# where Ceph or FUSE cannot start.
# Usage: replication_slice.sh BIN_DIR TOOLS_DIR
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export bin="$1" tools="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/tarvolt-replication-slice.XXXXXX")"
export work
trap 'rm -rf "$work"' EXIT
REPLICATION_CLIENTS=4 REPLICATION_SECONDS=12 REPLICATION_OUTAGE_S=3 REPLICATION_BUCKET_KILLS=1 \
    REPLICATION_POWER_CUTS=1 REPLICATION_CATCHUP_S=60 REPLICATION_PART=replication-slice \
    "$here/replication.sh"
