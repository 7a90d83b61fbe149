import sys
import unittest

import tarnwick
import tarnwick._native as native


class ModuleTest(unittest.TestCase):
    def test_version_and_stable_abi_file(self):
        self.assertEqual(native.__version__, "0.3.0")
        self.assertEqual(tarnwick.__version__, "0.3.0")
        self.assertTrue(native.__file__.endswith("_native.abi3.so"), native.__file__)
        self.assertGreaterEqual(sys.version_info[:2], (3, 12))


if __name__ == "__main__":
    unittest.main()
