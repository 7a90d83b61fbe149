#!/usr/bin/env bash
# The main job: build the extension and run a query through it from Python.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
PYTHON=$(find_python)
build "$TARNWICK_ROOT/build" -DPython3_EXECUTABLE="$PYTHON" -DTARNWICK_BUILD_TESTS=OFF
# Connects to CLICKHOUSE_ADDR when it is set, otherwise to the scripted test server it starts.
PYTHONPATH="$TARNWICK_ROOT/build/python" "$PYTHON" "$TARNWICK_ROOT/examples/query_demo.py"
