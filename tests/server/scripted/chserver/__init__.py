"""Scripted fake server for the native protocol, exact to the byte, for tests.

A Python test:
    from chserver import ScriptedServer
    def scenario(conn):
        conn.hello(revision=54483)
        q = conn.expect_query()
        conn.send_data([("x", "UInt64", [1, 2])])
        conn.send_eos()
    with ScriptedServer(scenario) as srv:
        ... connect to 127.0.0.1:srv.port ...
        srv.wait()
    srv.record(0).raw_in / .plain_in / .packets
"""

from .block import Block, Column, make_block
from .conn import AuthRejected, ClientClosed, Conn, ConnRecord
from .server import ScriptedServer, run_steps
from .wire import ProtocolViolation

__all__ = ["AuthRejected", "Block", "ClientClosed", "Column", "Conn", "ConnRecord",
           "ProtocolViolation", "ScriptedServer", "make_block", "run_steps"]
