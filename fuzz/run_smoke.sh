#!/usr/bin/env bash
# Builds the fuzzers (clang-14, libFuzzer, ASan and UBSan) and runs every target for N seconds
# (default 20), all at once, starting from the checked-in corpus. New inputs go to a scratch
# directory; a crash leaves its input in fuzz/findings/<target>/ and fails the script.
#   fuzz/run_smoke.sh [SECONDS]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
seconds=${1:-20}
install_packages
build_dir="$TARNWICK_ROOT/build-fuzz"
build "$build_dir" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_BUILD_FUZZ=ON -DTARNWICK_SANITIZE=address,undefined \
  -DTARNWICK_BUILD_PYTHON=OFF -DTARNWICK_BUILD_TESTS=OFF

targets=(type_grammar block_body block_differential frames server_packets chunked stream_buffer)
scratch=$(mktemp -d /tmp/tarnwick-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
pids=()
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t" "$TARNWICK_ROOT/fuzz/findings/$t"
  dict=()
  case $t in type_grammar | block_*) dict=("-dict=$TARNWICK_ROOT/fuzz/types.dict") ;; esac
  "$build_dir/fuzz/fuzz_$t" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -timeout=10 -artifact_prefix="$TARNWICK_ROOT/fuzz/findings/$t/" "${dict[@]}" \
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
