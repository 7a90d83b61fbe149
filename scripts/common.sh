# Shared by the scripts: installs what the build needs on a Debian 12 machine (only what is
# missing, so it is quick when everything is present) and finds Python 3.12. Run as a script,
# `bash scripts/common.sh find_python` prints the interpreter the scripts use.
set -euo pipefail

TARNWICK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TARNWICK_PACKAGES=(cmake ninja-build g++ clang-14 libclang-rt-14-dev pkg-config libssl-dev liblz4-dev
  libgtest-dev libgmock-dev libbenchmark-dev openssl ca-certificates clickhouse-server)

install_packages() {
  local missing=()
  for p in "${TARNWICK_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

find_python() {
  if [ -n "${TARNWICK_PYTHON:-}" ]; then echo "$TARNWICK_PYTHON"; return; fi
  local root
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-${HOME:-}/.pyenv}")
  local found
  found=$(ls -d "$root"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -z "$found" ]; then found=$(command -v python3.12 || true); fi
  if [ -z "$found" ]; then
    echo "Python 3.12 not found (looked in $root/versions and PATH); set TARNWICK_PYTHON" >&2
    exit 1
  fi
  echo "$found"
}

# build DIR [cmake args...]: configures (once) and builds into DIR.
build() {
  local dir=$1
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$TARNWICK_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    find_python) find_python ;;
    *)
      echo "usage: bash scripts/common.sh find_python" >&2
      exit 2
      ;;
  esac
fi
