"""The check that test_binding_calls.py runs over every file under src: in src/binding (subfolders
and py_ref.h included) every C API name is one that runs no Python code (listed below with the
reason), one whose call text is listed below (what it is given decides), or the one call of an
into_python(), the only function of that name, defined once, in src/binding/py_ref.h. Python code
runs wherever a dunder or a callable is called (a type's slot function too), a key is hashed or
compared, a reference that may be the last one is let go (a store over an old value, a replaced
pending exception, a failed store that drops what it was given), a warning or an unraisable error
is reported, or a codec or an error handler is looked up: strict decoding of a bad byte and strict
encoding of a lone surrogate call the "strict" handler, which a program may replace with its own.
The interpreter may end the thread in any of them. Outside src/binding no C API name appears, nor
an include of Python.h: the core is no place for a call into Python."""

import os
import re

TESTS_DIR = os.environ.get(
    "TARNWICK_TESTS_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
)
SRC = os.path.normpath(os.path.join(TESTS_DIR, "..", "src"))

# Names that are not calls.
NOT_CALLS = [
    (r"Py_ssize_t|PyGILState_STATE|PyType_Spec|PyType_Slot|PyModuleDef_Slot|PyMODINIT_FUNC",
     "types"),
    (r"PyObject_HEAD|PyModuleDef_HEAD_INIT", "struct heads"),
    (r"Py_(None|True|False)|PyExc_\w+", "objects of the interpreter's, only named"),
    (r"Py_TPFLAGS_\w+|PY_SSIZE_T_MAX|PY_VECTORCALL_ARGUMENTS_OFFSET", "flags and constants"),
    (r"PyInit__native", "the module's own entry point"),
]

# A slot id names one of a type's functions, which may be Python code. It stands only as the id of
# an entry of a slot table, `{Py_tp_repr, f}` (the interpreter calls what the entry gives), or
# inside one of the call texts listed below.
SLOT_ID = re.compile(r"Py_(?:tp|mp|sq|nb|am|bf|mod)_\w+$")

# C API calls that run no Python code whatever they are given, by the reason. None of them is made
# with an exception pending, so the MemoryError of a failed allocation replaces nothing.
MAY_STAY_BARE = {
    "adds a reference": "Py_XINCREF Py_NewRef Py_RETURN_NONE Py_RETURN_TRUE",
    "makes a number, bytes or an empty container from C values (no text is decoded)":
    "PyList_New PyTuple_New PyDict_New PyLong_FromLong PyLong_FromLongLong PyLong_FromUnsignedLong "
    "PyLong_FromUnsignedLongLong PyLong_FromSize_t PyFloat_FromDouble PyBool_FromLong "
    "PyBytes_FromStringAndSize",
    "makes a container of references it adds": "PyList_AsTuple PyDict_Items",
    "adds a reference at the end: nothing is let go": "PyList_Append",
    "reads a built-in object's own storage": "PyTuple_GetItem PyTuple_Size PyList_GetItem "
    "PyList_Size PyDict_Next PyBytes_Size PyBytes_AsString PyBytes_AsStringAndSize "
    "PyVectorcall_NARGS",
    "reads an object's type and its flags": "PyUnicode_Check PyList_Check PyDict_Check "
    "PyTuple_Check PyLong_Check PyBool_Check PyBytes_Check PyModule_Check PyObject_TypeCheck "
    "PyIndex_Check PyCallable_Check Py_TYPE",
    "reads or takes the pending exception: nothing is let go": "PyErr_Occurred "
    "PyErr_ExceptionMatches PyErr_GetRaisedException",
    "reads the module that defined one of the binding's heap types, or that module's state":
    "PyType_GetModule PyModule_GetState",
    "sets up the module": "PyModuleDef_Init",
    "the collector's bookkeeping (Py_VISIT calls the collector's own visitor)":
    "PyObject_GC_UnTrack Py_VISIT PyGC_Enable PyGC_Disable",
    "lets the GIL go": "PyEval_SaveThread",
}

# Calls whose arguments decide whether they run Python code, or whether the function they return
# does: each of these names is allowed bare only as one of the texts below (the binding's own
# calls, each run of white space read as one space), with the reason. Inside an into_python() they
# are the guarded path as any call is, except PyType_GetSlot, whose function is called afterwards.
CALL_TEXTS = {
    "PyType_GetSlot(type, Py_tp_alloc)": "the allocator of one of the binding's types, which no "
    "class may subclass (none has Py_TPFLAGS_BASETYPE): PyType_GenericAlloc, which runs no Python "
    "code (a collection it calls for is only scheduled)",
    "PyType_GetSlot(type, Py_tp_free)": "the free function of the type of a binding object that "
    "is being deallocated: PyObject_Free or PyObject_GC_Del, which give memory back",
    'PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")':
    "the UTF-8 decoder writes U+FFFD for a bad byte itself and looks no handler up: a program's "
    "own \"replace\" handler is never called",
    "PyDict_Copy(tmpl.get())": "a template that row_dict_template made: str keys the binding made "
    "(lossy_str), each mapped to None, nothing deleted, so its table is cloned, no key compared",
    "PyDict_Copy(it->row_template)": "likewise, the row iterator's template",
    'Py_BuildValue("{sOsOsO}", "name", name.get(), "type", type.get(), "data", data->get())':
    "a new dict: keys decoded from ASCII literals (no bad byte, so no error handler), values the "
    "binding's objects (added references)",
    'Py_BuildValue("[O]", table.get())': "a new list holding the binding's dict",
    'Py_BuildValue("(s)", "signed")': "a new tuple of a str decoded from an ASCII literal (no bad "
    "byte, so no error handler)",
    'Py_BuildValue("(NN)", lossy_str(name.database), lossy_str(name.table))': "a new tuple of two "
    "str the binding made, taken over (let go if the other is null: a str has no __del__)",
    "PyType_FromModuleAndSpec(module, spec, nullptr)": "a type from one of the binding's specs, "
    "no bases given: no metaclass or base class of anyone else's, no class code runs; its name "
    "and docs are ASCII literals (no bad byte, so no error handler)",
    "PyModule_AddType(module, *slot)": "stores that new type under its name in the module that "
    "exec_module sets up: the name is new to it, so nothing is let go",
    'PyModule_AddStringConstant(module, "__version__", TARNWICK_VERSION)': "stores a str decoded "
    "from the ASCII version literal (no bad byte, so no error handler) under a name new to the "
    "module that exec_module sets up",
}
BY_TEXT = {text[:text.index("(")] for text in CALL_TEXTS}
ALWAYS_BY_TEXT = {"PyType_GetSlot"}

# into_python() as py_ref.h defines it, its one definition (paths are relative to src). Every other
# use of the name is a call: `into_python(` after the start of a statement, `(`, `,` inside
# parentheses, `=`, `!`, `return`, `else` or the condition of an if, while or for. Anything else
# before it (a type, `auto`, `&`, `.`, `->`, `::`, `#define`) declares or names some other
# into_python.
DEFINED_IN = "binding/py_ref.h"
DEFINITION = re.compile(r"\s*".join(map(re.escape, """
template <class F>
[[gnu::always_inline]] inline auto into_python(F&& f) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (const abi::__forced_unwind&) {
    wait_for_process_end();
  }
}""".split())))
INTO_PYTHON_NAME = re.compile(r"\binto_python\b")
BEFORE_CALL = re.compile(r"(?:\A|[;{}(=!]|\breturn|\belse)\s*$")
CONDITION = re.compile(r"\b(?:if|while|for)\s*$")
# The one call of an into_python(): into_python(f) or into_python([...] { [return] f(...); }).
INTO_PYTHON = re.compile(r"\binto_python\(\s*(\[[^]]*\]\s*\{\s*(?:return\s+)?)?$")

ALLOWED = re.compile(rf"(?:{'|'.join(names for names, _ in NOT_CALLS)})$")
BARE_NAMES = {name: reason for reason, names in MAY_STAY_BARE.items() for name in names.split()}
C_API_NAME = re.compile(r"\b(?:_?Py[A-Za-z0-9]*_\w+|PY_\w+)\b")
COMMENT_OR_LITERAL = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'',
                                re.S)


def code_only(source, keep_literals=False):
    """`source` with its comments and (unless kept) its literals blanked, offsets kept."""
    def blank(m):
        if keep_literals and m.group()[0] in "\"'":
            return m.group()
        return re.sub(r"[^\n]", " ", m.group())
    return COMMENT_OR_LITERAL.sub(blank, source)


def closing(code, at):
    """The end of the parenthesized text that opens at `at`."""
    depth = 0
    for i in range(at, len(code)):
        depth += {"(": 1, ")": -1}.get(code[i], 0)
        if depth == 0:
            return i + 1
    return len(code)


def enclosing(code, at):
    """The bracket, "(" or "{", that holds `at` open, or "" at the top."""
    depth = 0
    for i in range(at - 1, -1, -1):
        c = code[i]
        if c in ")}":
            depth += 1
        elif c in "({":
            if depth == 0:
                return c
            depth -= 1
        elif c == ";" and depth == 0:
            return ""
    return ""


def opening(code, at):
    """The start of the parenthesized text that closes just before `at`."""
    depth = 0
    for i in range(at - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(code[i], 0)
        if depth == 0:
            return i
    return 0


def call_text(code, kept, start, end):
    """The call made by the name at [start, end) as written, white space as one space (the name
    alone when it is not called), and where it ends."""
    paren = re.compile(r"\s*\(").match(code, end)
    stop = closing(code, paren.end() - 1) if paren else end
    text = re.sub(r"\s+", " ", kept[start:stop])
    return re.sub(r"\(\s", "(", re.sub(r"\s\)", ")", text)), stop


def is_guarded_call(code, start, end):
    """Whether the name into_python at [start, end) is called where a call stands."""
    if not code.startswith("(", end):
        return False
    before = code[:start].rstrip()
    if BEFORE_CALL.search(before):
        return True
    if before.endswith(","):
        return enclosing(code, len(before) - 1) == "("
    if before.endswith(")"):
        return CONDITION.search(code[:opening(code, len(before))]) is not None
    return False


def into_python_uses(code, path):
    """The starts of the guarded calls in `code`, and those of other uses of the name (the one
    definition in py_ref.h aside)."""
    definition = DEFINITION.search(code) if path == DEFINED_IN else None
    calls, others = set(), []
    for m in INTO_PYTHON_NAME.finditer(code):
        if definition and definition.start() <= m.start() < definition.end():
            continue
        (calls.add if is_guarded_call(code, m.start(), m.end()) else others.append)(m.start())
    return calls, others


def inside_into_python(code, calls, m):
    """Whether the C API name `m` is the one call of its statement's into_python()."""
    at = code.rfind(";", 0, m.start()) + 1
    wrap = INTO_PYTHON.search(code, at, m.start())
    if wrap is None or wrap.start() not in calls:
        return False
    follows = r"\s*\(" if wrap.group(1) else r"\s*\)"  # called in the lambda, or given as it is
    return re.compile(follows).match(code, m.end()) is not None


def line_at(text, at):
    """The number of the line of `text` that holds offset `at`, from 1."""
    return text.count("\n", 0, at) + 1


def bare_calls_into_python(source, path):
    """(line, name) of each C API name in `source` (the file at `path` under src, one of
    src/binding) that may run Python code and is not the one call of its statement's
    into_python(), and of each use of the name into_python that is not a call of py_ref.h's."""
    code = code_only(source)
    kept = code_only(source, keep_literals=True)
    calls, others = into_python_uses(code, path)
    bare = [(at, "into_python") for at in others]
    listed_until = 0  # the end of the last listed call text: slot ids inside it are its own
    for m in C_API_NAME.finditer(code):
        api = m.group()
        if SLOT_ID.match(api):
            entry = re.search(r"\{\s*$", code[max(0, m.start() - 40):m.start()])
            if not (entry and re.compile(r"\s*,").match(code, m.end())) and m.end() > listed_until:
                bare.append((m.start(), api))
            continue
        if ALLOWED.match(api) or api in BARE_NAMES:
            continue
        if api in BY_TEXT:
            text, stop = call_text(code, kept, m.start(), m.end())
            if text in CALL_TEXTS:
                listed_until = stop
                continue
            if api in ALWAYS_BY_TEXT:
                bare.append((m.start(), api))
                continue
        if not inside_into_python(code, calls, m):
            bare.append((m.start(), api))
    return [(line_at(code, at), api) for at, api in sorted(bare)]


def call_texts_made(source):
    """The call texts of the names that CALL_TEXTS lists, as `source` makes them."""
    code, kept = code_only(source), code_only(source, keep_literals=True)
    return {call_text(code, kept, m.start(), m.end())[0]
            for m in C_API_NAME.finditer(code) if m.group() in BY_TEXT}


INCLUDES_PYTHON = re.compile(r"^[ \t]*#[ \t]*include[ \t]*[<\"]Python\.h[>\"]", re.M)
# A byte that is not UTF-8 text, as source_files() reads it.
NOT_UTF8 = re.compile("[\udc80-\udcff]")


def source_files(src=SRC):
    """(path relative to `src`, with "/", and text) of every file under `src`, subfolders
    included, in the order of their paths. A byte that is not UTF-8 text (an editor's swap file,
    say) stands in the text as a lone surrogate, and the rest is read as usual."""
    paths = [os.path.relpath(os.path.join(top, name), src).replace(os.sep, "/")
             for top, _, names in os.walk(src) for name in names]
    for path in sorted(paths):
        with open(os.path.join(src, path), encoding="utf-8", errors="surrogateescape") as f:
            yield path, f.read()


def is_binding(path):
    return path.startswith("binding/")


def binding_sources(src=SRC):
    return ((path, source) for path, source in source_files(src) if is_binding(path))


def findings(src=SRC):
    """"path:line: what" of everything the check finds under `src`: in any file, the first byte
    that is not UTF-8 text; in src/binding, each bare call that bare_calls_into_python() finds;
    anywhere else, each C API name (comments and literals too) and each include of Python.h."""
    found = []
    for path, source in source_files(src):
        if bad := NOT_UTF8.search(source):
            found.append(f"{path}:{line_at(source, bad.start())}: not UTF-8 text")
        if is_binding(path):
            found += [f"{path}:{line}: {api}: " + ("not a call of py_ref.h's"
                                                   if api == "into_python" else "bare")
                      for line, api in bare_calls_into_python(source, path)]
            continue
        uses = [(m.start(), m.group()) for m in C_API_NAME.finditer(source)]
        uses += [(m.start(), "#include <Python.h>") for m in INCLUDES_PYTHON.finditer(source)]
        found += [f"{path}:{line_at(source, at)}: {what} outside src/binding"
                  for at, what in sorted(uses)]
    return found
