#!/usr/bin/env bash
# Runs every test: the C++ and Python suites against a real ClickHouse server started here, then
# the C++ suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then a short run of
# every fuzzer.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
PYTHON=$(find_python)

build "$TARNWICK_ROOT/build-test" -DPython3_EXECUTABLE="$PYTHON"
build "$TARNWICK_ROOT/build-asan" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=address,undefined -DTARNWICK_BUILD_PYTHON=OFF \
  -DPython3_EXECUTABLE="$PYTHON"

server_dir=$(mktemp -d /tmp/tarnwick-ch.XXXXXX)
server_script="$TARNWICK_ROOT/tests/server/clickhouse/real_server.sh"
cleanup() {
  if [ -x "$server_script" ] || [ -f "$server_script" ]; then bash "$server_script" stop "$server_dir" || true; fi
  rm -rf "$server_dir"
}
trap cleanup EXIT
if [ -f "$server_script" ]; then
  TARNWICK_PYTHON="$PYTHON" bash "$server_script" start "$server_dir"
  set -a
  source "$server_dir/env"
  set +a
  export TARNWICK_REQUIRE_REAL_SERVER=1
fi

ctest --test-dir "$TARNWICK_ROOT/build-test" --output-on-failure --no-tests=error -j "$(nproc)"
# The same extension binary (stable ABI) under every newer CPython that is installed.
for newer in $(ls -d "$(dirname "$PYTHON")"/../../3.1[3-9].*/bin/python3.1[3-9] 2>/dev/null || true); do
  echo "Python suite under $("$newer" --version)"
  PYTHONPATH="$TARNWICK_ROOT/build-test/python" TARNWICK_TESTS_DIR="$TARNWICK_ROOT/tests" \
    "$newer" -m unittest discover -s "$TARNWICK_ROOT/tests/python" -t "$TARNWICK_ROOT/tests/python"
done

ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$TARNWICK_ROOT/build-asan" --output-on-failure --no-tests=error -j "$(nproc)"

# A short run of every fuzzer (clang-14, libFuzzer, ASan+UBSan) from the checked-in corpus.
bash "$TARNWICK_ROOT/fuzz/run_smoke.sh" 20
