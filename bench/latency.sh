#!/usr/bin/env bash
# Check-in latency under posting load: 300 check-ins from the PMS (each sent a second after the
# previous one showed in the PBX) while the manager sends 10,000 Cdr events over the same five
# minutes, which the daemon caches and posts; then a quiet minute with those 10,000 calls unsettled
# in the cache. Prints the latency from the PMS's send to the PBX row (median, 99th percentile,
# max) and the CPU time of the quiet minute. About seven minutes; no faults. Builds nothing.
#
#   bench/latency.sh [BUILD_DIR] [further soak.py options]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
if [[ $# -gt 0 && $1 != --* ]]; then
  build=$1
  shift
fi
exec "$here/soak.sh" "$build" --records 300 --events 10000 --idle 60 "$@"
