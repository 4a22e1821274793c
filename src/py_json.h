// JSON data given as Python objects, as canonical text or its content hash.
//
// What a Python object means as JSON data is what json.dumps writes for it,
// read back by the system's parser.  Part of the Python boundary: compiled
// into the module only, and called with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace kestrix {

// Appends the canonical text of the JSON value of `obj` to `out`.  On
// failure sets a Python error (json.dumps's own, or RuntimeError with the
// parser's message) and returns false, with `out` in an unspecified state.
bool py_to_canonical(PyObject* obj, std::string& out);

// The content hash of the JSON value of `obj`; fails as py_to_canonical().
bool py_to_hash(PyObject* obj, std::string& hash);

}  // namespace kestrix
