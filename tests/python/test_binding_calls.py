"""The binding runs Python code only through into_python(): every C API name in src/binding, py_ref.h
included, is either listed below as one that can run no Python code, with the reason, or is the one
call of an into_python(). Python code runs wherever a dunder or a callable is called, a key is hashed
or compared, a reference that may be the last one is let go (a store over an old value, a replaced
pending exception, a failed store that drops what it was given), a warning or an unraisable error is
reported, or a codec is looked up; the interpreter may end the thread in any of them."""

import os
import re
import unittest

from wire import TESTS_DIR

BINDING = os.path.join(TESTS_DIR, "..", "src", "binding")

# Names that are not calls.
NOT_CALLS = [
    (r"Py_ssize_t|PyGILState_STATE|PyType_Spec|PyType_Slot|PyModuleDef_Slot|PyMODINIT_FUNC",
     "types"),
    (r"PyObject_HEAD|PyModuleDef_HEAD_INIT", "struct heads"),
    (r"Py_(None|True|False)|PyExc_\w+", "objects of the interpreter's, only named"),
    (r"Py_(tp|mp|sq|mod)_\w+|Py_TPFLAGS_\w+|PY_SSIZE_T_MAX|PY_VECTORCALL_ARGUMENTS_OFFSET",
     "slot ids, flags and constants"),
    (r"PyInit__native", "the module's own entry point"),
]

# C API calls that run no Python code whatever they are given, by the reason. None of them is made
# with an exception pending, so the MemoryError of a failed allocation replaces nothing.
MAY_STAY_BARE = {
    "adds a reference": "Py_XINCREF Py_NewRef Py_RETURN_NONE Py_RETURN_TRUE",
    "makes an object of a built-in type from C values": "PyList_New PyTuple_New PyDict_New "
    "PyLong_FromLong PyLong_FromLongLong PyLong_FromUnsignedLong PyLong_FromUnsignedLongLong "
    "PyLong_FromSize_t PyFloat_FromDouble PyBool_FromLong PyBytes_FromStringAndSize "
    "PyUnicode_FromString PyUnicode_FromStringAndSize PyUnicode_DecodeUTF8",
    "makes objects from C values and adds references to objects (the binding's formats)":
    "Py_BuildValue",
    "makes a container of references it adds": "PyList_AsTuple PyDict_Items",
    "copies a dict the binding made, whose keys are exact str": "PyDict_Copy",
    "adds a reference at the end: nothing is let go": "PyList_Append",
    "reads a built-in object's own storage": "PyTuple_GetItem PyTuple_Size PyList_GetItem "
    "PyList_Size PyDict_Next PyBytes_Size PyBytes_AsString PyBytes_AsStringAndSize "
    "PyVectorcall_NARGS",
    "encodes a str's characters itself, without a codec": "PyUnicode_AsUTF8AndSize",
    "reads an object's type and its flags": "PyUnicode_Check PyList_Check PyDict_Check "
    "PyTuple_Check PyLong_Check PyBool_Check PyBytes_Check PyModule_Check PyObject_TypeCheck "
    "PyIndex_Check PyCallable_Check Py_TYPE",
    "reads or takes the pending exception: nothing is let go": "PyErr_Occurred "
    "PyErr_ExceptionMatches PyErr_GetRaisedException",
    "reads a type or the module": "PyType_GetSlot PyType_GetModule PyType_GetQualName "
    "PyModule_GetState",
    "sets up the module: built-in types, fresh names in a fresh module": "PyType_FromModuleAndSpec "
    "PyModule_AddType PyModule_AddStringConstant PyModuleDef_Init",
    "the collector's bookkeeping (Py_VISIT calls the collector's own visitor)":
    "PyObject_GC_UnTrack Py_VISIT PyGC_Enable PyGC_Disable",
    "lets the GIL go": "PyEval_SaveThread",
}

ALLOWED = re.compile(rf"(?:{'|'.join(names for names, _ in NOT_CALLS)})$")
BARE_NAMES = {name: reason for reason, names in MAY_STAY_BARE.items() for name in names.split()}
C_API_NAME = re.compile(r"\b(?:_?Py[A-Za-z0-9]*_\w+|PY_\w+)\b")
# The one call of an into_python(): into_python(f) or into_python([...] { [return] f(...); }).
INTO_PYTHON = re.compile(r"into_python\(\s*(?:\[[^]]*\]\s*\{\s*(?:return\s+)?)?$")


def code_only(source):
    """`source` with its comments and literals blanked, line numbers kept."""
    blank = lambda m: re.sub(r"[^\n]", " ", m.group())
    return re.sub(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', blank, source,
                  flags=re.S)


def bare_calls_into_python(source):
    """(line, name) of each C API name in `source` that may run Python code and is not the one
    call of its statement's into_python()."""
    code = code_only(source)
    bare = []
    for m in C_API_NAME.finditer(code):
        if m.group() in BARE_NAMES or ALLOWED.match(m.group()):
            continue
        statement = code[code.rfind(";", 0, m.start()) + 1:m.start()]
        if not INTO_PYTHON.search(statement):
            bare.append((code.count("\n", 0, m.start()) + 1, m.group()))
    return bare


def binding_sources():
    for name in sorted(os.listdir(BINDING)):
        with open(os.path.join(BINDING, name), encoding="utf-8") as f:
            yield name, f.read()


class BindingCallsTest(unittest.TestCase):
    def test_every_call_that_may_run_python_code_goes_through_into_python(self):
        found = {name: bare_calls_into_python(source) for name, source in binding_sources()}
        self.assertEqual({n: b for n, b in found.items() if b}, {})

    def test_each_name_that_may_stay_bare_is_used(self):
        used = set()
        for _, source in binding_sources():
            used.update(C_API_NAME.findall(code_only(source)))
        self.assertEqual({n: r for n, r in BARE_NAMES.items() if n not in used}, {})

    def test_calls_that_may_run_python_code_are_caught_bare_and_passed_wrapped(self):
        with open(os.path.join(BINDING, "conversion_rows.cpp"), encoding="utf-8") as f:
            host = f.read()
        with open(os.path.join(BINDING, "py_ref.h"), encoding="utf-8") as f:
            py_ref = f.read()
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
                 "PyObject_GetIter(o)", "PyDict_GetItemWithError(d, k)"]
        for call in calls:
            name = call[:call.index("(")]
            with self.subTest(call):
                self.assertEqual(bare_calls_into_python(f"{host}\nx = {call};\n"), [(lines, name)])
                self.assertEqual(bare_calls_into_python(f"{py_ref}\n  {call};\n"),
                                 [(py_ref.count("\n") + 2, name)])
                for wrapped in (f"into_python([&] {{ return {call}; }});",
                                f"y = into_python([=] {{\n {call}; }});"):
                    self.assertEqual(bare_calls_into_python(f"{host}\n{wrapped}\n"), [])
        # Only the one call: what its arguments call is a statement of its own.
        self.assertEqual(bare_calls_into_python("into_python([&] { return PyObject_Str(PyObject_Repr(o)); });"),
                         [(1, "PyObject_Repr")])
        # Names in comments and literals are not calls.
        self.assertEqual(bare_calls_into_python('// Py_DECREF(o)\nf("PyErr_Clear()");'), [])


if __name__ == "__main__":
    unittest.main()
