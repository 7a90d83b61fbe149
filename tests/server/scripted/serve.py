#!/usr/bin/env python3
"""Runs one named scenario of chserver.scenarios on a loopback port, for tests in other languages.

  serve.py --scenario NAME [--arg k=v ...] --port-file PATH [--record-dir DIR] [--once]
           [--connections N] [--timeout SECONDS] [--conn-timeout SECONDS]

Writes the port number to PATH (atomically) once listening. Exits after --once (one connection)
or --connections N connections have been served, or after --timeout seconds (default 60).
Exit status: 0 when every scenario run ended well, 1 when one failed, 2 on a global time-out.
Records go to DIR as conn-N.raw_in, conn-N.plain_in, conn-N.raw_out, conn-N.packets.json and
conn-N.status (written last; first line "ok", "auth rejected" or "error: ...").
"""

import argparse
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from chserver.scenarios import REGISTRY, Args  # noqa: E402
from chserver.server import ScriptedServer  # noqa: E402


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--scenario", required=True, choices=sorted(REGISTRY))
    p.add_argument("--arg", action="append", default=[], metavar="K=V")
    p.add_argument("--port-file", required=True)
    p.add_argument("--record-dir")
    p.add_argument("--once", action="store_true")
    p.add_argument("--connections", type=int)
    p.add_argument("--timeout", type=float, default=60.0)
    p.add_argument("--conn-timeout", type=float, default=10.0)
    opts = p.parse_args(argv)
    args = Args()
    for item in opts.arg:
        key, sep, value = item.partition("=")
        if not sep:
            p.error(f"--arg {item!r} is not K=V")
        args[key] = value
    fn = REGISTRY[opts.scenario]
    connections = 1 if opts.once else opts.connections
    server = ScriptedServer(lambda conn: fn(conn, args), connections=connections,
                            timeout=opts.timeout, conn_timeout=opts.conn_timeout,
                            record_dir=opts.record_dir)
    signal.signal(signal.SIGTERM, lambda *_: server._stop.set())
    server.start()
    tmp = opts.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(f"{server.port}\n")
    os.replace(tmp, opts.port_file)
    finished = server.wait(opts.timeout + 1.0)
    server.stop(1.0)
    for r in server.records:
        if r.error is not None:
            sys.stderr.write(f"connection {r.index}: {r.status}\n{r.traceback}")
    if not finished:
        return 2
    return 1 if server.errors() else 0


if __name__ == "__main__":
    sys.exit(main())
