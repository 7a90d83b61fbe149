"""The Python fuzz targets (fuzz/python) over their checked-in corpus: every seed and every input
kept from a finding must run without a SystemError escaping or the interpreter dying."""

import datetime
import importlib
import math
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


class ConversionTargetHelpersTest(unittest.TestCase):
    def test_values_compared_as_their_renderings_were(self):
        conversion = importlib.import_module("conversion")
        day = datetime.datetime(2021, 10, 31, 1, 30)
        text = "".join(["sh", "ared"])
        nested = [[(1, "a")], []]
        pairs = [
            (math.nan, float("nan")), (0.0, -0.0), (-0.0, -0.0), (1, True), (1, 1.0), ("1", b"1"),
            (None, None), ([None] * 3, [None] * 3), ([1, 2], [1]), ((1,), [1]),
            ([text, text], ["shared", "shared"]), ({"a": 1, "b": 2}, {"b": 2, "a": 1}),
            ({"c": [math.nan]}, {"c": [math.nan]}), ({"c": [0.0]}, {"c": [-0.0]}),
            (day, datetime.datetime(2021, 10, 31, 1, 30)), (day, day.replace(fold=1)),
            (datetime.date(2021, 1, 1), datetime.datetime(2021, 1, 1)),
            (nested, [[(1, "a")], []]), (nested, [[(1, "a")], ()]), ([[[-0.0]]], [[[0.0]]]),
            ([{"k": (1, None)}], [{"k": (1, None)}]), ([{"k": (1, None)}], [{"k": (1, False)}]),
        ]
        for a, b in pairs:
            with self.subTest(a=a, b=b):
                self.assertEqual(conversion._same(a, b), repr(a) == repr(b))

    def test_values_counted_at_every_depth(self):
        conversion = importlib.import_module("conversion")
        rows = [
            (3, [1, 2, 3], False), (2, [1, 2, 3], True), (4, [[1], [2]], False),
            (3, [[1], [2]], True), (2, {"c": (1, 2)}, True), (3, {"c": (1, 2)}, False),
            (1, ["abc"], False), (0, [], False), (5, [{"c": [[None] * 2]}] * 2, True),
        ]
        for bound, value, more in rows:
            with self.subTest(bound=bound, value=value):
                self.assertEqual(conversion._more_than(bound, value), more)


if __name__ == "__main__":
    unittest.main()
