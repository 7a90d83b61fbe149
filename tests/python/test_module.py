"""What tarnwick._native promises as a whole: its exported symbols, its attributes, and type stubs
that match the runtime signatures."""

import ast
import inspect
import os
import re
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
    """Names, kinds and defaults of both: the runtime's text signature gives each default as the
    stub does (`user='default'`, never `user=...`)."""
    return [[(p.name, p.kind, p.default) for p in s.parameters.values()] for s in (runtime, declared)]


README = os.path.join(TESTS_DIR, "..", "README.md")
ROOT = os.path.join(TESTS_DIR, "..")
# Names a docstring gives as code: ``tarnwick.Client``, `Client`, insert_blocks().
DOC_CODE_NAMES = re.compile(r"`+([\w.]+)`+|(?<![`\w])(\w+)\(\)")


def readme_part(paragraphs, start):
    """The README paragraph that begins with `start` and the list right after it (with the indented
    paragraphs of its items), its whitespace folded."""
    first = next(i for i, p in enumerate(paragraphs) if p.startswith(start))
    end = next((i for i in range(first + 1, len(paragraphs))
                if not paragraphs[i].startswith(("- ", "  "))), len(paragraphs))
    return " ".join("\n\n".join(paragraphs[first:end]).split())


# (the first words of a README paragraph, what it and the list after it say)
README_CLAIMS = [
    ("Errors arrive", [
        "`ValueError`", "`ConnectionError`", "`TimeoutError`", "`RuntimeError`", "`MemoryError`",
        r"`query_timeout`[^.]*`ValueError`",
        r"stream[^.]*server error[^.]*`RuntimeError`",
        # A block of a stream that fails to convert leaves the stream reading the connection.
        r"blocks of a stream[^.]*still be reading its response",
        r"stream dropped before then[^;]*breaks it, and the next call raises `ConnectionError`",
    ]),
    ("Run all tests", ["`build-test/`", "`build-asan/`", "`build-fuzz/`"]),
    ("Build the module", [r"CPython 3\.12 or later", r"bash scripts/common\.sh find_python"]),
    ("**Time-outs, threads and signals.**", [
        "one client serializes its callers",
        r"stream[^.]*fails at once with `ValueError` \(\"a query stream is still reading this "
        r"connection",
        # connect_timeout does not bound the lookup of the host's name.
        r"`connect_timeout` bounds each address's TCP connect and the set-up after it[^:]*not that "
        r"lookup: it has no deadline",
        # What cut-short lookups leave, and a fork in the wait: the texts the lookup tests see.
        r"while 32 lookups wait for the resolver a constructor for any other name fails at once "
        r"with `ConnectionError` \(\"I/O error: too many host name lookups are waiting for the "
        r"resolver \(32\); try again once it answers\"\)",
        r"the child's constructor fails at once with `ConnectionError` \(\"I/O error: the process "
        r"forked while this call waited for the host name lookup, which stays with the parent "
        r"process\"\)",
        r"a constructor called in another thread is not interrupted",
    ]),
    # What a refused answer holds: the data to the limit and what else to the allowance.
    ("- A buffered query", [
        r"at most the limit in decoded data and at most the allowance beside it",
        r"limit plus the allowance, 512 MiB at the default limit",
        r"by 512 MiB with 8-byte ones",
        # The whole bound: kept data and allowance, one block beside the data or a crossing
        # column's working state, the read buffers and the buffers kept for reuse.
        r"at most the limit plus the allowance plus 466 MiB, 978 MiB at the default limit\. That "
        r"is memory asked of the allocator",
        r"one Totals, Extremes, Log or ProfileEvents block being read",
        r"the read buffers: with LZ4 a compressed frame and its decoded body, up to 64 MiB each",
        r"a Totals block of 256,000,000 bytes, then the crossing one, by 756 MiB",
        # A stream's whole bound (in the list that follows), its packets held to the cap however
        # their bytes arrive.
        r"at most 1,233 MiB asked of the allocator \(1,297 MiB with chunked framing\)",
        r"a packet of more than 320 MiB is refused as soon as it passes that",
    ]),
    ("Python-layer benchmark", [r"\$\(bash scripts/common\.sh find_python\)"]),
    ("`dicts_to_block` reads an Enum's member list", [
        r"unsupported column type 'Enum8\('a' = 1, 'b' = 1\)': the code 1 is listed twice",
    ]),
    # What it does not do: names and type texts that are not UTF-8 (as 18.16 answers them).
    ("- The Python wrappers", [
        r"column name or type text holds bytes that are not UTF-8 \(.*?\) fails the call",
        r"`query`, `query_tuples`, `query_columns`, `query_blocks` and `execute`",
        r"`ValueError` \(\"ClickHouse protocol error: invalid utf8: invalid utf-8 sequence of 1 "
        r"bytes from index 1\"\); a stream raises `RuntimeError` \(\"protocol error: invalid utf8",
        r"The connection is then broken",
    ]),
]


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

    def test_the_readme_says_what_holds(self):
        with open(README) as f:
            paragraphs = f.read().split("\n\n")
        for start, claims in README_CLAIMS:
            text = readme_part(paragraphs, start)
            for claim in claims:
                with self.subTest(paragraph=start, claim=claim):
                    self.assertRegex(text, claim)
        # A ConnectionError's text is quoted as raised: the prefix of its error's kind first.
        folded = " ".join("\n\n".join(paragraphs).split())
        quoted = re.findall(r"`ConnectionError` \(\"([^\"]*)\"\)", folded)
        self.assertGreaterEqual(len(quoted), 5)
        for text in quoted:
            with self.subTest(connection_error=text):
                self.assertRegex(text, r"^(I/O error|ClickHouse authentication error): ")

    def test_the_readme_names_what_the_scripts_install_and_run(self):
        with open(README) as f:
            text = f.read()
        two_commands = readme_part(text.split("\n\n"), "Both install what they need")
        listed = re.search(r"the apt packages (.*?), only those missing", two_commands).group(1)
        with open(os.path.join(ROOT, "scripts", "common.sh")) as f:
            installed = re.search(r"TARNWICK_PACKAGES=\(([^)]*)\)", f.read()).group(1).split()
        self.assertEqual(sorted(re.split(r", (?:and )?| and ", listed)), sorted(installed))
        # Command lines run the interpreter the scripts find, never whatever python3.x the PATH
        # (or pyenv's global version) gives.
        for line in re.findall(r"^    (.*)$", text, re.M) + re.findall(r"`([^`\n]+)`", text):
            self.assertNotRegex(line, r"(^|\s)python3(\.\d+)?\s")
        found = subprocess.run(["bash", os.path.join(ROOT, "scripts", "common.sh"), "find_python"],
                               check=True, capture_output=True, text=True).stdout.strip()
        version = subprocess.run([found, "-c", "import sys; print(sys.version_info[:2])"],
                                 check=True, capture_output=True, text=True).stdout
        self.assertGreaterEqual(ast.literal_eval(version), (3, 12))

    def test_the_readme_disowns_the_wrappers_the_docstrings_name(self):
        # The docstrings name Python wrappers this package does not ship; the README says so.
        docs = " ".join([native.__doc__, native._Client.__doc__, native.dicts_to_block.__doc__])
        names = {"".join(groups) for groups in DOC_CODE_NAMES.findall(docs)}
        missing = {name for name in names
                   if not any(hasattr(owner, name.split(".")[-1])
                              for owner in (tarnwick, native, native._Client))}
        self.assertEqual(missing, {"tarnwick.Client", "tarnwick.AsyncClient", "Client",
                                   "AsyncClient", "insert_blocks"})
        with open(README) as f:
            section = f.read().split("## What it does not do (yet)")[1].split("\n## ")[0]
        for name in missing:
            self.assertIn(name, section)


if __name__ == "__main__":
    unittest.main()
