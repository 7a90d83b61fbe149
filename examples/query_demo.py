"""Runs one query through tarnwick._native and prints the rows.

With CLICKHOUSE_ADDR set (host or host:port; CLICKHOUSE_USER and CLICKHOUSE_PASSWORD optional) it
asks that server. Otherwise it starts the project's scripted test server in this process, which
answers with a small table of typed rows, so the demo runs without any ClickHouse installed.

    PYTHONPATH=build/python python3.12 examples/query_demo.py
"""

import datetime
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.append(os.path.join(ROOT, "build", "python"))  # the module as the build leaves it

from tarnwick._native import _Client  # noqa: E402

QUERY = "SELECT id, name, score, day, note FROM demo ORDER BY id"
REAL_QUERY = "SELECT number AS id, toString(number) AS name FROM system.numbers LIMIT 5"

COLUMNS = [
    ("id", "UInt32", [1, 2, 3]),
    ("name", "String", [b"alpha", b"beta", b"gamma"]),
    ("score", "Float64", [0.5, 12.25, -3.0]),
    ("day", "Date", [datetime.date(2024, 1, 1), datetime.date(2024, 2, 29),
                     datetime.date(2025, 12, 31)]),
    ("note", "Nullable(String)", [b"first", None, b"last"]),
]


def scripted_scenario(conn):
    conn.hello()
    query = conn.expect_query()
    if query.text != QUERY:
        conn.send_exception(message=f"the demo server only knows: {QUERY}")
    else:
        conn.send_data([(name, type_name, []) for name, type_name, _ in COLUMNS])  # header
        conn.send_data(COLUMNS)
        conn.send_eos()
    conn.wait_closed(10)


def run(client, source, query):
    info = client.server_info()
    print(f"server: {source}")
    print(f"        {info['name']} {info['version_major']}.{info['version_minor']}, "
          f"protocol revision {info['revision']}")
    print(f"query:  {query}")
    try:
        rows = client.query(query)
    except (ValueError, ConnectionError, TimeoutError) as e:
        print(f"the server refused the query: {type(e).__name__}: {e}")
        return 1
    finally:
        client.discard()
    for row in rows:
        print("  ", row)
    return 0


def main():
    addr = os.environ.get("CLICKHOUSE_ADDR")
    if addr:
        client = _Client(addr, user=os.environ.get("CLICKHOUSE_USER", "default"),
                         password=os.environ.get("CLICKHOUSE_PASSWORD", ""),
                         connect_timeout=10, query_timeout=30)
        return run(client, f"ClickHouse at {addr} (CLICKHOUSE_ADDR)", REAL_QUERY)
    sys.path.insert(0, os.path.join(ROOT, "tests", "server", "scripted"))
    from chserver import ScriptedServer

    with ScriptedServer(scripted_scenario, timeout=30) as server:
        client = _Client(f"127.0.0.1:{server.port}", connect_timeout=10, query_timeout=30)
        status = run(client, f"scripted test server in this process, 127.0.0.1:{server.port} "
                    "(set CLICKHOUSE_ADDR to use a real server)", QUERY)
        server.wait(10)
    return status


if __name__ == "__main__":
    sys.exit(main())
