#!/usr/bin/env bash
# real_server.sh as the test command runs it on a fresh Debian 12: the PATH holds only the tools of
# Debian's required packages and of the packages the scripts install (no curl, no python3), and
# the Python the scripts found is handed over as scripts/test.sh hands it.
#   clean_path_test.sh PYTHON      (exit 77: skipped, no clickhouse-server here)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../../../scripts/common.sh" # TARNWICK_PACKAGES
python=$1

if [ ! -x "${CH_SERVER_BIN:-/usr/sbin/clickhouse-server}" ]; then
  if [ "${TARNWICK_REQUIRE_REAL_SERVER:-}" = 1 ]; then
    echo "clickhouse-server is not installed" >&2
    exit 1
  fi
  echo "clickhouse-server is not installed; skipped"
  exit 77
fi

work=$(mktemp -d /tmp/tarnwick-clean-path.XXXXXX)
clean() {
  env -i PATH="$work/bin" TARNWICK_PYTHON="$python" "$BASH" "$here/real_server.sh" "$@"
}
trap 'clean stop "$work/server" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

mkdir "$work/bin"
required=$(dpkg-query -W -f='${Package} ${Priority} ${Essential}\n' |
  awk '$2 == "required" || $3 == "yes" { print $1 }')
for package in $required "${TARNWICK_PACKAGES[@]}"; do
  dpkg -L "$package" 2>/dev/null | grep -E '^(/usr)?/s?bin/[^/]+$' || true
done | while read -r tool; do
  if [ -f "$tool" ] && [ -x "$tool" ]; then ln -sf "$tool" "$work/bin/${tool##*/}"; fi
done
for hidden in curl python3; do
  if [ -e "$work/bin/$hidden" ]; then
    echo "$hidden is on the clean PATH: the test no longer shows that the scripts need none" >&2
    exit 1
  fi
done

clean start "$work/server" >"$work/start.log" 2>&1 || {
  cat "$work/start.log" >&2
  exit 1
}
# The native port, and the TLS port, which only comes up when openssl verified it.
grep -q '^TARNWICK_CH_TCP=127.0.0.1:[0-9]' "$work/server/env"
grep -q '^TARNWICK_CH_TLS=127.0.0.1:[0-9]' "$work/server/env" || {
  echo "no TLS port" >&2
  cat "$work/start.log" >&2
  exit 1
}
pid=$(sed -n 's/^TARNWICK_CH_PID=//p' "$work/server/env")
clean stop "$work/server"
if kill -0 "$pid" 2>/dev/null; then
  echo "server $pid still runs after stop" >&2
  exit 1
fi
echo "real_server.sh started and stopped with only $(ls "$work/bin" | wc -l) tools on the PATH"
