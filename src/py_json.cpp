// Conversion of JSON data given as Python objects.
//
// The general way calls json.dumps and parses its text.  Objects made only
// of the exact built-in types (dict with str keys, list, tuple, str, int,
// float, bool, None) are written directly instead, in one walk with the
// canonical writer: json.dumps and the parser would give the same value, so
// the text is the same.  Whatever the walk does not settle without doubt --
// subclasses, keys of other types, floats that are not finite, integers
// beyond 64 bits, strings without a UTF-8 form, nesting beyond the parser's
// limit (cycles included), or a json.dumps that was replaced -- goes the
// general way, so that its result and its error stay those of json.dumps
// and the parser.
#include "py_json.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

#include "hash.h"
#include "json.h"
#include "json_tape.h"

namespace kestrix {
namespace {

using Member = std::pair<std::string_view, PyObject*>;

// Buffers kept from call to call on a thread for their capacity.  No Python
// code runs while their contents are in use, so a call made meanwhile (by a
// replaced json.dumps, say) cannot disturb them.
struct Scratch {
  std::string text;              // canonical text to be hashed
  std::vector<Member> members;  // members of the dicts being written
};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

// Writes objects of the exact built-in types in canonical form.  walk()
// returns false, with no Python error set, at the first object it leaves to
// json.dumps; what it wrote up to there is to be dropped.  Reads the objects
// only: no Python code runs, so they cannot change during the walk.
class DirectWriter {
 public:
  DirectWriter(std::string& out, std::vector<Member>& members) : w_(out), members_(members) {
    members_.clear();
  }

  bool walk(PyObject* o, int depth) {
    if (o == Py_None) {
      w_.null();
    } else if (o == Py_True || o == Py_False) {
      w_.boolean(o == Py_True);
    } else if (PyUnicode_CheckExact(o)) {
      std::string_view s;
      if (!utf8(o, s)) return false;
      w_.string(s);
    } else if (PyLong_CheckExact(o)) {
      return integer(o);
    } else if (PyFloat_CheckExact(o)) {
      const double d = PyFloat_AS_DOUBLE(o);
      if (!std::isfinite(d)) return false;
      w_.number(d);
    } else if (depth >= kMaxJsonDepth) {
      return false;
    } else if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
      w_.begin_array();
      const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
      for (Py_ssize_t i = 0; i < n; ++i)
        if (!walk(PySequence_Fast_GET_ITEM(o, i), depth + 1)) return false;
      w_.end_array();
    } else if (PyDict_CheckExact(o)) {
      return object(o, depth);
    } else {
      return false;
    }
    return true;
  }

 private:
  // The UTF-8 form of a str, kept by the str; false for a str holding a
  // surrogate (json.dumps escapes it and the parser decides).
  static bool utf8(PyObject* s, std::string_view& out) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(s, &size);
    if (!bytes) {
      PyErr_Clear();
      return false;
    }
    out = std::string_view(bytes, static_cast<size_t>(size));
    return true;
  }

  // Integers the JSON value holds: unsigned 64-bit from 0, signed 64-bit
  // below.  The parser turns the others into floats, or refuses them.
  bool integer(PyObject* o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      if (v < 0) w_.sint(v);
      else w_.uint(static_cast<uint64_t>(v));
      return true;
    }
    if (overflow < 0) return false;
    const unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    w_.uint(u);
    return true;
  }

  // Members in byte order of their keys' UTF-8 (a dict holds each key once,
  // so no two are equal).  The members of every open dict share one stack.
  bool object(PyObject* dict, int depth) {
    const size_t base = members_.size();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
      std::string_view k;
      if (!PyUnicode_CheckExact(key) || !utf8(key, k)) return false;
      members_.emplace_back(k, value);
    }
    const size_t top = members_.size();
    std::sort(members_.begin() + static_cast<std::ptrdiff_t>(base), members_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    w_.begin_object();
    for (size_t m = base; m < top; ++m) {
      w_.key(members_[m].first);
      if (!walk(members_[m].second, depth + 1)) return false;
    }
    w_.end_object();
    members_.resize(base);
    return true;
  }

  JsonWriter w_;
  std::vector<Member>& members_;  // shared by all open dicts, each above the last
};

// The current json.dumps (a new reference), and in `own` whether it is
// still the json package's own function, which the direct writer stands in
// for.  A replacement is honoured: it is called instead.
PyObject* current_dumps(bool& own) {
  static PyObject* json = nullptr;
  static PyObject* own_dumps = nullptr;
  static PyObject* const name = PyUnicode_InternFromString("dumps");
  if (!name) return nullptr;
  if (!json && !(json = PyImport_ImportModule("json"))) return nullptr;
  PyObject* dumps = PyObject_GetAttr(json, name);
  if (!dumps) return nullptr;
  // The json package's own is the function named dumps that its module
  // defines; it is taken as such the first time it is met.
  if (!own_dumps && PyModule_Check(json) && PyFunction_Check(dumps) &&
      PyFunction_GET_GLOBALS(dumps) == PyModule_GetDict(json) &&
      PyUnicode_Compare(reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(dumps))->co_name,
                        name) == 0) {
    own_dumps = Py_NewRef(dumps);
  }
  own = dumps == own_dumps;
  return dumps;
}

// Writes the canonical text of `obj` to `text` directly when it can, else
// hands json.dumps's text of it to `parse`, which returns false with a
// Python error set on failure.
template <typename Parse>
bool convert(PyObject* obj, std::string& text, Scratch& scratch, Parse&& parse) {
  bool own = false;
  PyObject* dumps = current_dumps(own);
  if (!dumps) return false;
  const size_t mark = text.size();
  if (own && DirectWriter(text, scratch.members).walk(obj, 0)) {
    Py_DECREF(dumps);
    return true;
  }
  text.resize(mark);
  PyObject* json = PyObject_CallOneArg(dumps, obj);
  Py_DECREF(dumps);
  if (!json) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(json, &size);
  const bool ok = utf8 && parse(std::string_view(utf8, static_cast<size_t>(size)));
  Py_DECREF(json);
  return ok;
}

}  // namespace

bool py_to_canonical(PyObject* obj, std::string& out) {
  return convert(obj, out, scratch(), [&](std::string_view json) {
    auto parsed = parse_json(json);
    if (!parsed) {
      PyErr_SetString(PyExc_RuntimeError, parsed.error().outermost().c_str());
      return false;
    }
    write_canonical(*parsed, out);
    return true;
  });
}

bool py_to_hash(PyObject* obj, std::string& hash) {
  Scratch& s = scratch();
  s.text.clear();
  bool parsed = false;
  // The general way hashes the parsed text as it writes it, without a Value.
  const bool ok = convert(obj, s.text, s, [&](std::string_view json) {
    thread_local JsonTape tape;
    if (!tape.parse(json, JsonTape::Target::kCanonical)) {
      PyErr_SetString(PyExc_RuntimeError, tape.error().c_str());
      return false;
    }
    unsigned char digest[32];
    sha256_canonical(tape, digest);
    hash = bytes_to_hex(digest, 32);
    parsed = true;
    return true;
  });
  if (ok && !parsed) hash = sha256_hex(s.text);
  return ok;
}

}  // namespace kestrix
