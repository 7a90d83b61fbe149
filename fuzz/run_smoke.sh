#!/usr/bin/env bash
# Builds the fuzzers (clang-14, libFuzzer, ASan and UBSan) and runs every target for N seconds
# (default 20), all at once, starting from the checked-in corpus. New inputs go to a scratch
# directory; a crash leaves its input in fuzz/findings/<target>/ and fails the script.
#   fuzz/run_smoke.sh [SECONDS]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
seconds=${1:-20}
install_packages
build_dir="${TARNWICK_FUZZ_BUILD:-$TARNWICK_ROOT/build-fuzz}"
# Configured every time, so a tree configured before the Python targets existed gains them.
cmake -S "$TARNWICK_ROOT" -B "$build_dir" -G Ninja -DCMAKE_C_COMPILER=clang-14 \
  -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_BUILD_FUZZ=ON \
  -DTARNWICK_SANITIZE=address,undefined -DTARNWICK_BUILD_PYTHON=ON \
  -DPython3_EXECUTABLE="$(find_python)" -DTARNWICK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)"

# A smoke run looks for crashes, so an input's time-out is one only a hang reaches: the slowest
# checked-in input (py_conversion's Array(Dynamic) of 8,257,536 empty elements) takes 1.2 s under
# ASan alone and over 3 s beside other work. libFuzzer runs every checked-in input whatever
# -max_total_time says and ends a unit only at its time-out (checked every timeout/2+1 s), so a
# hang fails the run within about three minutes.
unit_timeout=120

# py_*: targets in Python against the extension module (fuzz/python), run by an embedded
# interpreter, whose own allocations make leak reports meaningless there.
targets=(type_grammar block_body block_differential frames server_packets chunked stream_buffer
  py_conversion py_dicts_to_block)
scratch=$(mktemp -d /tmp/tarnwick-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
pids=()
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t" "$TARNWICK_ROOT/fuzz/findings/$t"
  extra=()
  case $t in type_grammar | block_* | py_*) extra=("-dict=$TARNWICK_ROOT/fuzz/types.dict") ;; esac
  leaks=1
  case $t in py_*) extra+=("-detect_leaks=0") && leaks=0 ;; esac
  ASAN_OPTIONS="detect_leaks=$leaks${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    "$build_dir/fuzz/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -timeout="$unit_timeout" -artifact_prefix="$TARNWICK_ROOT/fuzz/findings/$t/" "${extra[@]}" \
    "$scratch/$t" "$TARNWICK_ROOT/fuzz/corpus/$t" >"$scratch/$t.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  if wait "${pids[$i]}"; then
    echo "fuzz_$t: $(grep -E '^Done [0-9]+ runs' "$scratch/$t.log" || echo ok)"
  else
    failed=1
    echo "fuzz_$t FAILED; its input is in fuzz/findings/$t/:"
    grep -E 'ERROR|invariant|runtime error|SUMMARY' "$scratch/$t.log" | head -n 20
  fi
done
exit $failed
