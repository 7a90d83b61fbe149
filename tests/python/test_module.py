"""What tarnwick._native promises as a whole: its exported symbols, its attributes, and type stubs
that match the runtime signatures."""

import ast
import inspect
import os
import shutil
import subprocess
import unittest

import tarnwick
import tarnwick._native as native
from wire import TESTS_DIR

CLASSES = ["_Block", "_Client", "_Column", "_QueryStream", "_RowIterator"]
FUNCTIONS = ["blocks_to_dicts", "dicts_to_block"]
STANDARD = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
STUB = os.path.join(os.path.dirname(native.__file__), "_native.pyi")
P = inspect.Parameter


def stub_signature(fn):
    """The inspect.Signature a stub `def` declares (annotations left out)."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    params = []
    for arg, default in zip(positional, defaults):
        kind = P.POSITIONAL_ONLY if arg in a.posonlyargs else P.POSITIONAL_OR_KEYWORD
        params.append((arg.arg, kind, default))
    params += [(arg.arg, P.KEYWORD_ONLY, d) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    return inspect.Signature([
        P(name, kind, default=P.empty if d is None else ast.literal_eval(d))
        for name, kind, d in params
    ])


def comparable(runtime, declared):
    """Names, kinds and defaults of both; a runtime default of `...` stands for any default."""
    rows = [[(p.name, p.kind, p.default) for p in s.parameters.values()] for s in (runtime, declared)]
    for i, (r, d) in enumerate(zip(*rows)):
        if r[2] is Ellipsis and d[2] is not P.empty:
            rows[1][i] = d[:2] + (Ellipsis,)
    return rows


def is_property(fn):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)


class ModuleSurfaceTest(unittest.TestCase):
    def test_only_the_init_function_is_exported(self):
        nm = shutil.which("nm")
        self.assertIsNotNone(nm, "binutils' nm is needed to list the module's symbols")
        out = subprocess.run([nm, "-D", "--defined-only", native.__file__], check=True,
                             capture_output=True, text=True).stdout
        self.assertEqual([line.split()[-1] for line in out.splitlines()], ["PyInit__native"])

    def test_attributes_are_exactly_the_classes_functions_and_version(self):
        names = set(dir(native))
        self.assertEqual(sorted(names - STANDARD), sorted(CLASSES + FUNCTIONS + ["__version__"]))
        self.assertEqual((native.__version__, tarnwick.__version__), ("0.3.0", "0.3.0"))
        self.assertTrue(native.__file__.endswith("_native.abi3.so"), native.__file__)
        self.assertTrue(native.__doc__.startswith(
            "ClickHouse native protocol client \u2014 Python bindings.\n\n"))
        for name in CLASSES:
            cls = getattr(native, name)
            self.assertEqual((cls.__module__, cls.__name__), ("tarnwick._native", name))
            if name != "_Client":
                with self.assertRaises(TypeError):
                    cls()

    def test_stubs_match_the_runtime(self):
        with open(STUB) as f:
            tree = ast.parse(f.read())
        classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
        functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
        self.assertEqual(sorted(classes), CLASSES)
        self.assertEqual(sorted(functions), FUNCTIONS)
        for name, fn in functions.items():
            with self.subTest(name):
                runtime, declared = comparable(inspect.signature(getattr(native, name)),
                                               stub_signature(fn))
                self.assertEqual(runtime, declared)
        for cls_name, node in classes.items():
            cls = getattr(native, cls_name)
            members = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
            public = {n for n in vars(cls) if not n.startswith("_")}
            self.assertEqual(public, {n for n in members if not n.startswith("_")}, cls_name)
            for name, fn in members.items():
                with self.subTest(f"{cls_name}.{name}"):
                    declared = stub_signature(fn)
                    if name == "__new__":
                        runtime = inspect.signature(cls)
                        declared = declared.replace(
                            parameters=list(declared.parameters.values())[1:])
                    elif is_property(fn):
                        self.assertTrue(inspect.isdatadescriptor(vars(cls)[name]))
                        continue
                    elif name.startswith("__"):
                        # Slot wrappers: the class defines it and takes as many arguments.
                        self.assertIn(name, vars(cls))
                        runtime = inspect.signature(vars(cls)[name])
                        self.assertEqual(len(runtime.parameters), len(declared.parameters))
                        continue
                    else:
                        # `self`: positional-only at runtime, written plainly in stubs.
                        runtime = inspect.signature(vars(cls)[name])
                        self.assertEqual([next(iter(s.parameters)) for s in (runtime, declared)],
                                         ["self", "self"])
                        runtime, declared = (s.replace(parameters=list(s.parameters.values())[1:])
                                             for s in (runtime, declared))
                    runtime, declared = comparable(runtime, declared)
                    self.assertEqual(runtime, declared)

    def test_the_stubs_ship_with_their_marker_and_state_the_stream_bounds(self):
        # Type checkers read the stubs of an installed package only beside a py.typed marker.
        self.assertTrue(os.path.isfile(os.path.join(os.path.dirname(STUB), "py.typed")))
        with open(STUB) as f:
            tree = ast.parse(f.read())
        stream = next(n for n in tree.body if getattr(n, "name", "") == "_QueryStream")
        self.assertIn("32 messages and 16 MiB of blocks", " ".join(ast.get_docstring(stream).split()))

    def test_the_readme_names_what_each_failure_raises(self):
        with open(os.path.join(TESTS_DIR, "..", "README.md")) as f:
            paragraphs = f.read().split("\n\n")
        # The opening paragraph and the list that follows it.
        start = next(i for i, p in enumerate(paragraphs) if p.startswith("Errors arrive"))
        end = next(i for i in range(start + 1, len(paragraphs)) if not paragraphs[i].startswith("- "))
        paragraph = "\n\n".join(paragraphs[start:end])
        for name in ("ValueError", "ConnectionError", "TimeoutError", "RuntimeError", "MemoryError"):
            self.assertIn(f"`{name}`", paragraph)
        self.assertRegex(paragraph, r"`query_timeout`[^.]*`ValueError`")
        self.assertRegex(paragraph, r"stream[^.]*server error[^.]*`RuntimeError`")


if __name__ == "__main__":
    unittest.main()
