#!/usr/bin/env bash
# Optional reliability part (not in the default list; run it with
# RELIABILITY_PARTS=soak make reliability): the load part's clients for
# SOAK_SECONDS (default 600), to tell a leak from memory that levels off.
# The bucket service's resident and anonymous memory are sampled every
# second and printed as medians of twelve stretches; the checks are the load
# part's (consistency, no 5xx) and the plateau checks of load_memory.h. The
# last line is "soak: N of M checks passed".
# Needs: $bin, $tools, $work (see bench/reliability.sh). LOAD_CLIENTS
# (default 32), SOAK_SECONDS (default 600).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
PART=soak PART_SECONDS="${SOAK_SECONDS:-600}" exec bash "$here/load.sh"
