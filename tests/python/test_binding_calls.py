"""The binding runs Python code only through into_python(): binding_calls.py reads every C API name
in every file under src (src/binding, py_ref.h and subfolders included, and the core, where none
may appear) and what each call is given. These tests run it over the tree, over bare calls planted
in a real binding file and in py_ref.h, and over a tree of files planted in folders of their own."""

import os
import shutil
import tempfile
import unittest

from binding_calls import (BARE_NAMES, C_API_NAME, CALL_TEXTS, DEFINED_IN, DEFINITION, SRC,
                           bare_calls_into_python, binding_sources, call_texts_made, code_only,
                           findings)

HOST = "binding/conversion_rows.cpp"


def read_source(path):
    with open(os.path.join(SRC, path), encoding="utf-8") as f:
        return f.read()


STR_SLOT = "reinterpret_cast<reprfunc>(PyType_GetSlot(Py_TYPE(o), Py_tp_str))"
DEFINED = DEFINITION.search(code_only(read_source(DEFINED_IN)))
# Code whose names the check allows one by one, or that looks like a guarded call, and that runs
# Python code bare; each row: the code, then what is caught (line from the planted one, name).
CAUGHT = [
    # A type's slot function, called through its pointer: __str__.
    (f"x = {STR_SLOT}(o);", [(0, "PyType_GetSlot"), (0, "Py_tp_str")]),
    ("auto f = reinterpret_cast<reprfunc>(\n"
     "    into_python([&] { return PyType_GetSlot(Py_TYPE(o), Py_tp_str); }));\nx = f(o);",
     [(1, "PyType_GetSlot"), (1, "Py_tp_str")]),
    ("f = into_python([&] { return PyType_GetSlot(type, slot); });", [(0, "PyType_GetSlot")]),
    ("f = PyType_GetSlot(type, Py_tp_repr);", [(0, "PyType_GetSlot"), (0, "Py_tp_repr")]),
    ("f = PyType_GetSlot(type, slot);", [(0, "PyType_GetSlot")]),
    ("int slot = Py_mp_subscript;", [(0, "Py_mp_subscript")]),
    # Some other into_python: a local lambda, a function, a macro, a second definition, a member,
    # or a name that merely ends in it.
    ("auto into_python = [](auto f) { return f(); };\n"
     "x = into_python([&] { return PyObject_Str(o); });", [(0, "into_python")]),
    ("template <class F>\nauto into_python(F f) { return f(); }", [(1, "into_python")]),
    ("template <class F>\ndecltype(auto) into_python(F f) { return f(); }",
     [(1, "into_python")]),
    ("#define into_python(f) f()", [(0, "into_python")]),
    ("int z, into_python(int);", [(0, "into_python")]),
    (DEFINED.group() if DEFINED else "", [(1, "into_python")]),
    ("x = s.into_python([&] { return PyObject_Str(o); });",
     [(0, "into_python"), (0, "PyObject_Str")]),
    ("x = my_into_python([&] { return PyObject_Str(o); });", [(0, "PyObject_Str")]),
    ("x = my_into_python(PyErr_Clear);", [(0, "PyErr_Clear")]),
    # Called before into_python() is: only a name given as it is stands for the call.
    ("into_python(PyErr_Clear());", [(0, "PyErr_Clear")]),
    # Near one of the binding's own call texts, but not it; not called at all.
    ("x = Py_BuildValue(\"{sO}\", \"name\", name.get());", [(0, "Py_BuildValue")]),
    ("x = PyDict_Copy(tmpl.get() ); y = PyDict_Copy(row_template);", [(0, "PyDict_Copy")]),
    ("x = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), e);",
     [(0, "PyUnicode_DecodeUTF8")]),
    # Strict decoding: a bad byte calls the "strict" handler, which may be the program's own.
    ("x = PyUnicode_DecodeUTF8(\n  reinterpret_cast<const char*>(p), "
     "static_cast<Py_ssize_t>(n), nullptr);", [(0, "PyUnicode_DecodeUTF8")]),
    ("f = &PyDict_Copy;", [(0, "PyDict_Copy")]),
]

# The binding's own calls, as they stand and laid out otherwise.
PASSED = [f"x = {text};" for text in CALL_TEXTS] + [
    # However the lines break.
    "x = Py_BuildValue(\"(NN)\",\n    lossy_str(name.database),  lossy_str(name.table));",
    "auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(\n    type, Py_tp_alloc));",
    # A slot table's entry, and the guarded calls as py_ref.h and the binding make them.
    "PyType_Slot s[] = {{Py_tp_str, reinterpret_cast<void*>(entry<f>)}, {0, nullptr}};",
    "if (obj != nullptr) into_python([obj] { Py_DECREF(obj); });",
    "if (f(a, into_python(PyErr_CheckSignals)) != 0) x = 1;",
    "x = PyRef::steal(\n    into_python([=] { return PyObject_Vectorcall(c, a, n, k); }));",
]


def planted(code):
    """What the check finds in `code` planted at the end of the host file and at that of py_ref.h
    (the same in both), lines counted from the planted one."""
    found = []
    for path in (HOST, DEFINED_IN):
        source = read_source(path)
        first = source.count("\n") + 2
        found.append([(line - first, api) for line, api in
                      bare_calls_into_python(f"{source}\n{code}\n", path)])
    return found[0] if found[0] == found[1] else found


STR_OF = "inline PyObject* str_of(PyObject* o) { return PyObject_Str(o); }"
# Files planted in a tree of their own beside a copy of the host file, each row: the path under
# src, the text (or bytes), and what the check reports of it. A binding file in a subfolder has the
# binding's check; only src/binding/py_ref.h may define into_python; the core may not name the C
# API at all; a file that is not UTF-8 text is named at its first such byte, and read all the same.
TREE = [
    ("binding/sub/x.h", f"#pragma once\n{STR_OF}\n",
     ["binding/sub/x.h:2: PyObject_Str: bare"]),
    ("binding/sub/py_ref.h", DEFINED.group() if DEFINED else "",
     ["binding/sub/py_ref.h:2: into_python: not a call of py_ref.h's"]),
    ("tarnwick/base/x.h", f"#pragma once\n#include <Python.h>\n\n{STR_OF}\n",
     ["tarnwick/base/x.h:2: #include <Python.h> outside src/binding",
      "tarnwick/base/x.h:4: PyObject_Str outside src/binding"]),
    ("tarnwick/sync/y.cpp", "// Drops the pending exception (PyErr_Clear).\n",
     ["tarnwick/sync/y.cpp:1: PyErr_Clear outside src/binding"]),
    ("binding/.x.cpp.swp", b"b0VIM 9.0\x00\xff\xfe\n" + STR_OF.encode() + b"\n",
     ["binding/.x.cpp.swp:1: not UTF-8 text", "binding/.x.cpp.swp:2: PyObject_Str: bare"]),
]


class BindingCallsTest(unittest.TestCase):
    maxDiff = None

    def test_every_call_that_may_run_python_code_goes_through_into_python(self):
        self.assertEqual(findings(), [])
        self.assertEqual(len(DEFINITION.findall(code_only(read_source(DEFINED_IN)))), 1)

    def test_every_file_under_src_is_read_subfolders_included(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "binding"))
            shutil.copy(os.path.join(SRC, HOST), os.path.join(root, HOST))
            for path, text, _ in TREE:
                os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
                with open(os.path.join(root, path), "wb") as f:
                    f.write(text if isinstance(text, bytes) else text.encode())
            self.assertEqual(findings(root), sorted(f for *_, found in TREE for f in found))

    def test_each_name_that_may_stay_bare_is_used(self):
        used, made = set(), set()
        for _, source in binding_sources():
            used.update(C_API_NAME.findall(code_only(source)))
            made.update(call_texts_made(source))
        self.assertEqual({n: r for n, r in BARE_NAMES.items() if n not in used}, {})
        # And each call text listed: the list is the binding's calls of today.
        self.assertEqual({t: r for t, r in CALL_TEXTS.items() if t not in made}, {})

    def test_calls_that_may_run_python_code_are_caught_bare_and_passed_wrapped(self):
        host = read_source(HOST)
        py_ref = read_source(DEFINED_IN)
        lines = host.count("\n") + 2
        calls = ["PyObject_Length(o)", "PyObject_Size(o)", "PyObject_IsInstance(o, t)",
                 "PyObject_IsTrue(o)", "PyDict_SetItem(d, k, v)", "PyDict_SetItemString(d, \"k\", v)",
                 "PyList_SetItem(l, 0, v)", "PyTuple_SetItem(t, 0, v)",
                 "PyErr_SetString(PyExc_ValueError, \"x\")", "PyErr_Format(PyExc_ValueError, \"%S\", o)",
                 "PyErr_NoMemory()", "PyErr_SetObject(t, o)", "PyLong_AsLong(o)",
                 "PyLong_AsLongLong(o)", "PyLong_AsLongLongAndOverflow(o, &f)", "PyObject_Format(o, s)",
                 "PyErr_WriteUnraisable(o)", "PyErr_WarnEx(PyExc_Warning, \"x\", 1)",
                 "PyBytes_FromObject(o)", "PyUnicode_FromFormat(\"%S\", o)", "Py_DECREF(o)",
                 "Py_XDECREF(o)", "Py_CLEAR(o)", "PyGILState_Release(s)", "PyErr_Clear()",
                 "PyObject_GetIter(o)", "PyDict_GetItemWithError(d, k)",
                 # Strict decoding and encoding: a bad byte or a lone surrogate calls the
                 # "strict" handler, which a program may replace with Python code of its own.
                 "PyUnicode_AsUTF8AndSize(s, &n)", "PyUnicode_FromStringAndSize(p, n)",
                 "PyUnicode_FromString(\"x\")",
                 # A static type's name, decoded strictly from its C text.
                 "PyType_GetQualName(Py_TYPE(o))",
                 # Names whose arguments decide, given a caller's object as a dict key (__hash__,
                 # __eq__), a caller's dict (the __eq__ of equal-hash keys), an error handler a
                 # caller may have registered, a caller's bases (a metaclass's mro()), a module
                 # not being set up (a store over a value).
                 "Py_BuildValue(\"{OO}\", name, Py_None)", "PyDict_Copy(kwargs)",
                 "PyUnicode_DecodeUTF8(p, n, errors)", "PyUnicode_DecodeUTF8(p, n, \"caller\")",
                 "PyType_FromModuleAndSpec(module, spec, bases)", "PyModule_AddType(caller, t)",
                 "PyModule_AddStringConstant(caller, \"x\", \"y\")"]
        for call in calls:
            name = call[:call.index("(")]
            with self.subTest(call):
                self.assertEqual(bare_calls_into_python(f"{host}\nx = {call};\n", HOST),
                                 [(lines, name)])
                self.assertEqual(bare_calls_into_python(f"{py_ref}\n  {call};\n", DEFINED_IN),
                                 [(py_ref.count("\n") + 2, name)])
                for wrapped in (f"into_python([&] {{ return {call}; }});",
                                f"y = into_python([=] {{\n {call}; }});"):
                    self.assertEqual(bare_calls_into_python(f"{host}\n{wrapped}\n", HOST), [])
        # Only the one call: what its arguments call is a statement of its own.
        self.assertEqual(bare_calls_into_python(
            "into_python([&] { return PyObject_Str(PyObject_Repr(o)); });", HOST),
            [(1, "PyObject_Repr")])
        # Names in comments and literals are not calls.
        self.assertEqual(bare_calls_into_python('// Py_DECREF(o)\nf("PyErr_Clear()");', HOST), [])
        # What the names alone do not tell, and the binding's own calls.
        for code, caught in CAUGHT + [(code, []) for code in PASSED]:
            with self.subTest(code):
                self.assertEqual(planted(code), caught)


if __name__ == "__main__":
    unittest.main()
