"""The Python fuzz targets (fuzz/python) over their checked-in corpus: every seed and every input
kept from a finding must run without a SystemError escaping or the interpreter dying."""

import importlib
import os
import sys
import unittest

from wire import TESTS_DIR

ROOT = os.path.dirname(os.path.abspath(TESTS_DIR))
sys.path.insert(0, os.path.join(ROOT, "fuzz", "python"))


class FuzzCorpusTest(unittest.TestCase):
    def test_every_input_of_every_python_target(self):
        for target in ("conversion", "dicts_to_block"):
            run = importlib.import_module(target).run
            corpus = os.path.join(ROOT, "fuzz", "corpus", "py_" + target)
            names = sorted(os.listdir(corpus))
            self.assertTrue(names, corpus)
            for name in names:
                with self.subTest(target=target, input=name):
                    with open(os.path.join(corpus, name), "rb") as f:
                        run(f.read())


if __name__ == "__main__":
    unittest.main()
