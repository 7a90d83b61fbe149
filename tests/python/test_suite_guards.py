"""Guards on the test suite itself: every test class that needs a real server is skipped without
one, and no skip decorator has slid off its class onto a helper."""

import ast
import glob
import os
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER_VARIABLE = "TARNWICK_CH_"
SKIPS = {"skip", "skipIf", "skipUnless"}


def has_skip(node):
    for d in node.decorator_list:
        f = d.func if isinstance(d, ast.Call) else d
        if isinstance(f, ast.Attribute) and f.attr in SKIPS:
            return True
    return False


def mentions(node, names):
    """Whether `node` reads a server variable or a module-level name bound from one."""
    for n in ast.walk(node):
        if isinstance(n, ast.Constant) and isinstance(n.value, str) and n.value.startswith(
                SERVER_VARIABLE):
            return True
        if isinstance(n, ast.Name) and n.id in names:
            return True
    return False


class SkipPlacementTest(unittest.TestCase):
    def test_server_classes_are_skipped_without_a_server(self):
        for path in sorted(glob.glob(os.path.join(HERE, "test_*.py"))):
            with open(path, encoding="utf-8") as f:
                tree = ast.parse(f.read(), path)
            server_names = {t.id for node in tree.body if isinstance(node, ast.Assign)
                            and mentions(node.value, ()) for t in node.targets
                            if isinstance(t, ast.Name)}
            skipped = set()
            for node in tree.body:
                where = f"{os.path.basename(path)}: {getattr(node, 'name', '')}"
                if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    self.assertFalse(has_skip(node), f"{where}: a skip decorator on a helper")
                if not isinstance(node, ast.ClassDef):
                    continue
                if has_skip(node) or any(isinstance(b, ast.Name) and b.id in skipped
                                         for b in node.bases):
                    skipped.add(node.name)
                    continue
                # Without a skip on the class, each test that uses the server carries its own, and
                # nothing else in it (setUp, helpers) may reach for one.
                for item in node.body:
                    if (isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef))
                            and not (item.name.startswith("test") and has_skip(item))
                            and mentions(item, server_names)):
                        self.fail(f"{where}.{item.name}: uses the real server but is not skipped "
                                  "without one")


if __name__ == "__main__":
    unittest.main()
