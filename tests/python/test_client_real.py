"""_Client against a real ClickHouse server (18.16), when one was started for the run
(tests/server/clickhouse/real_server.sh; scripts/test.sh exports its address)."""

import os
import unittest

from tarnwick._native import _Client

TCP = os.environ.get("TARNWICK_CH_TCP")
TLS = os.environ.get("TARNWICK_CH_TLS")
CA = os.environ.get("TARNWICK_CH_CA")
REQUIRED = os.environ.get("TARNWICK_REQUIRE_REAL_SERVER") == "1"


@unittest.skipUnless(TCP or REQUIRED, "no real server started (TARNWICK_CH_TCP unset)")
class RealServerTest(unittest.TestCase):
    def client(self, addr=None, **kwargs):
        self.assertTrue(addr or TCP, "TARNWICK_REQUIRE_REAL_SERVER=1 but TARNWICK_CH_TCP unset")
        c = _Client(addr or TCP, connect_timeout=10, query_timeout=30, **kwargs)
        self.addCleanup(c.discard)
        return c

    def test_session_methods(self):
        c = self.client(user="tarnwick", password="s3cret")
        info = c.server_info()
        self.assertEqual((info["name"], info["version_major"]), ("ClickHouse", 18))
        self.assertIs(c.ping(), True)
        self.assertEqual(c.table_status("system", "one"),
                         {"is_replicated": False, "absolute_delay": 0, "is_readonly": False})

    def test_refusals_of_the_server(self):
        with self.assertRaises(ConnectionError) as ctx:
            self.client(user="tarnwick", password="wrong")
        self.assertTrue(str(ctx.exception).startswith("ClickHouse authentication error: "))
        self.assertIn("Wrong password for user tarnwick", str(ctx.exception))

    def test_tls_connect_with_a_ca_file(self):
        if not (TLS and CA):
            self.skipTest("the real server has no working TLS port")
        c = self.client(TLS, tls=True, tls_ca_file=CA)
        self.assertIs(c.ping(), True)
        self.assertEqual(c.server_info()["version_major"], 18)


if __name__ == "__main__":
    unittest.main()
