#!/usr/bin/env bash
# Soak run: ten minutes of PMS check-ins and manager Cdr events through the daemon, then a quiet
# minute. Prints resident memory before and after, CPU time in the quiet minute, the check-in
# latency from the PMS to the PBX row (median, 99th percentile) and whether every call was
# posted, none lost and none charged twice. About twelve minutes. Builds nothing: run `make`
# first. With --faults (as root: the states file gets a tmpfs of its own) the PMS stops reading
# and crashes twice, the PBX file is locked for 20 s, the states disk fills for a minute and the
# manager drops, during the load.
#
#   bench/soak.sh [BUILD_DIR] [--records N] [--events N] [--idle SECONDS] [--faults]
#                 [--answer-every N] [--keep]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
if [[ $# -gt 0 && $1 != --* ]]; then
  build=$1
  shift
fi
if [[ ! -x $build/velmorant ]]; then
  echo "soak: $build/velmorant is missing; run make first" >&2
  exit 1
fi
exec python3 "$here/soak.py" --binary "$build/velmorant" "$@"
