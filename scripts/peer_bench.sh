#!/usr/bin/env bash
# Benchmark against Debian's python3-clickhouse-driver: installs the peer (and python3-lz4 for its
# compression), builds the module, the replay server and the CityHash library in a release build,
# then runs bench/peer_bench.py. Arguments go to peer_bench.py (--rows, --rss-rows, --repeat, ...).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
TARNWICK_PACKAGES+=(python3-clickhouse-driver python3-lz4)
install_packages
PYTHON=$(find_python)
build "$TARNWICK_ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$PYTHON" \
  -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCH=ON
"$PYTHON" "$TARNWICK_ROOT/bench/peer_bench.py" --build "$TARNWICK_ROOT/build-bench" "$@"
