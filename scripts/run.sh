#!/usr/bin/env bash
# The main job: build the extension and use it from Python.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
install_packages
PYTHON=$(find_python)
build "$TARNWICK_ROOT/build" -DPython3_EXECUTABLE="$PYTHON" -DTARNWICK_BUILD_TESTS=OFF
PYTHONPATH="$TARNWICK_ROOT/build/python" "$PYTHON" -c \
  'import tarnwick, tarnwick._native as n; print("tarnwick", n.__version__, "from", n.__file__)'
