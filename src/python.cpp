// The Python boundary: the module object, the table of its functions, the
// generic argument binder, the conversion of JSON values and records to
// Python objects, and the mapping of operation errors to Python exceptions.
// JSON data given as Python objects is converted by py_json.cpp, the other
// file of this layer.  No code below this layer sees a PyObject; every
// operation is called with plain values while the interpreter lock is held.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "authors.h"
#include "blame.h"
#include "clean.h"
#include "fs.h"
#include "generate_set.h"
#include "hash.h"
#include "index.h"
#include "indexer.h"
#include "json.h"
#include "lib.h"
#include "merge.h"
#include "oplog.h"
#include "purge.h"
#include "py_json.h"
#include "register.h"
#include "revoke.h"
#include "show.h"
#include "storage.h"
#include "token_bin_index.h"
#include "token_index.h"
#include "track.h"

namespace kestrix {
namespace {

// ------------------------------------------------------------ Exceptions ---

// Raised for violated internal invariants; derives from BaseException so
// that `except Exception` does not swallow a programming error.
PyObject* g_internal_fault = nullptr;

PyObject* raise_error(const Error& e) {
  PyErr_SetString(e.is_fault() ? g_internal_fault : PyExc_RuntimeError, e.outermost().c_str());
  return nullptr;
}

// ---------------------------------------------------------- Conversions ---

// New str from UTF-8 bytes; invalid bytes become U+FFFD rather than failing.
PyObject* str_from(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// Converts JSON values and records to Python objects.  Object keys, file
// names and section hashes repeat from record to record, so their str
// objects are shared through a small direct-mapped cache.
class PyBuilder {
 public:
  // `expected_strings` sizes the cache: about how many distinct strings the
  // conversion may meet.
  explicit PyBuilder(size_t expected_strings = 64) {
    size_t slots = 64;
    while (slots < 2 * expected_strings && slots < kMaxSlots) slots *= 2;
    mask_ = slots - 1;
  }
  PyBuilder(const PyBuilder&) = delete;
  ~PyBuilder() {
    for (auto& slot : slots_) Py_XDECREF(slot.obj);
  }

  PyObject* convert(const Value& v) {
    switch (v.kind()) {
      case Value::Kind::kNull: Py_RETURN_NONE;
      case Value::Kind::kBool: return PyBool_FromLong(*v.as_bool());
      case Value::Kind::kUint: {
        uint64_t u = *v.as_uint();
        if (u > static_cast<uint64_t>(INT64_MAX)) return PyFloat_FromDouble(static_cast<double>(u));
        return PyLong_FromUnsignedLongLong(u);
      }
      case Value::Kind::kInt: return PyLong_FromLongLong(*v.as_int());
      case Value::Kind::kFloat: return PyFloat_FromDouble(*v.as_float());
      case Value::Kind::kString: return str_from(*v.as_string());
      case Value::Kind::kArray: {
        const Array& items = *v.as_array();
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
        if (!list) return nullptr;
        for (size_t i = 0; i < items.size(); ++i) {
          PyObject* item = convert(items[i]);
          if (!item) {
            Py_DECREF(list);
            return nullptr;
          }
          PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        }
        return list;
      }
      case Value::Kind::kObject: {
        PyObject* dict = PyDict_New();
        if (!dict) return nullptr;
        for (const auto& [key, item] : *v.as_object()) {
          PyObject* k = shared_str(key);
          PyObject* val = k ? convert(item) : nullptr;
          int rc = val ? PyDict_SetItem(dict, k, val) : -1;
          Py_XDECREF(k);
          Py_XDECREF(val);
          if (rc < 0) {
            Py_DECREF(dict);
            return nullptr;
          }
        }
        return dict;
      }
    }
    Py_RETURN_NONE;
  }

  // {"file", "line_hash", "sources"} built directly.
  PyObject* convert(const DocumentRecord& d) {
    static PyObject* const kFile = PyUnicode_InternFromString("file");
    static PyObject* const kLineHash = PyUnicode_InternFromString("line_hash");
    static PyObject* const kSources = PyUnicode_InternFromString("sources");
    if (!kFile || !kLineHash || !kSources) return nullptr;
    PyObject* sources = PyList_New(static_cast<Py_ssize_t>(d.sources.size()));
    bool ok = sources != nullptr;
    for (size_t i = 0; ok && i < d.sources.size(); ++i) {
      PyObject* s = shared_str(d.sources[i]);
      ok = s != nullptr;
      if (ok) PyList_SET_ITEM(sources, static_cast<Py_ssize_t>(i), s);
    }
    PyObject* file = ok ? shared_str(d.file) : nullptr;
    PyObject* line_hash = file ? str_from(d.line_hash) : nullptr;
    PyObject* dict = line_hash ? PyDict_New() : nullptr;
    ok = dict && PyDict_SetItem(dict, kFile, file) == 0 &&
         PyDict_SetItem(dict, kLineHash, line_hash) == 0 &&
         PyDict_SetItem(dict, kSources, sources) == 0;
    Py_XDECREF(file);
    Py_XDECREF(line_hash);
    Py_XDECREF(sources);
    if (!ok) {
      Py_XDECREF(dict);
      return nullptr;
    }
    return dict;
  }

 private:
  struct Slot {
    std::string key;
    PyObject* obj = nullptr;
  };

  size_t slot_of(std::string_view s) const {
    uint64_t a = 0, b = 0;
    if (s.size() >= 8) {
      std::memcpy(&a, s.data(), 8);
      std::memcpy(&b, s.data() + s.size() - 8, 8);
    } else {
      std::memcpy(&a, s.data(), s.size());
    }
    uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ULL) ^ s.size()) * 0xBF58476D1CE4E5B9ULL;
    return static_cast<size_t>(h >> 40) & mask_;
  }

  // A new reference to a str equal to `s`, shared with earlier calls when
  // the cache still holds it.
  PyObject* shared_str(std::string_view s) {
    if (s.size() > kMaxKeyLength) return str_from(s);
    if (slots_.empty()) slots_.resize(mask_ + 1);
    Slot& slot = slots_[slot_of(s)];
    if (!slot.obj || slot.key != s) {
      PyObject* obj = str_from(s);
      if (!obj) return nullptr;
      Py_XDECREF(slot.obj);
      slot.key.assign(s);
      slot.obj = obj;
    }
    Py_INCREF(slot.obj);
    return slot.obj;
  }

  static constexpr size_t kMaxSlots = size_t{1} << 16;
  static constexpr size_t kMaxKeyLength = 128;
  size_t mask_;
  std::vector<Slot> slots_;
};

// Building many containers would trigger the cyclic garbage collector over
// and over, although nothing built here can form a cycle; it is paused for
// the duration of a conversion.
class GcPause {
 public:
  GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    was_enabled_ = PyGC_Disable();
#endif
  }
  ~GcPause() {
#if PY_VERSION_HEX >= 0x030A0000
    if (was_enabled_) PyGC_Enable();
#endif
  }

 private:
  int was_enabled_ = 0;
};

PyObject* json_to_py(const Value& v) {
  PyBuilder builder;
  return builder.convert(v);
}

// -------------------------------------------------------------- Binding ---

// kJson: JSON data as its canonical text.
// kJsonHash: JSON data of which only the content hash is needed.
// kTextViews: a text list read in place, without copying its strings.
enum class Kind {
  kText, kTextList, kTextViews, kTextSet, kBytes, kFlag,
  kCount, kOptCount, kOptText, kJson, kJsonHash
};

bool is_json(Kind kind) { return kind == Kind::kJson || kind == Kind::kJsonHash; }

struct Param {
  const char* name;
  Kind kind;
  bool has_default = false;  // the default is "absent" or false
};

struct Signature {
  const char* name;
  std::vector<Param> params;
  bool json_last = false;  // convert JSON data after the other parameters
};

// The UTF-8 texts of a sequence of str, read in place: the views stay valid
// while the sequence held here, and so its items, live.
class TextViews {
 public:
  TextViews() = default;
  TextViews(const TextViews&) = delete;
  TextViews(TextViews&& other) noexcept
      : held_(std::exchange(other.held_, nullptr)), views_(std::move(other.views_)) {}
  TextViews& operator=(TextViews&&) = delete;
  ~TextViews() { Py_XDECREF(held_); }
  void hold(PyObject* seq) { held_ = seq; }
  std::vector<std::string_view>& views() { return views_; }
  const std::vector<std::string_view>& views() const { return views_; }

 private:
  PyObject* held_ = nullptr;
  std::vector<std::string_view> views_;
};

using Arg = std::variant<std::monostate, std::string, std::vector<std::string>, TextViews,
                         std::set<std::string>, bool, uint64_t>;

class Args {
 public:
  explicit Args(size_t n) : values_(n) {}
  Arg& operator[](size_t i) { return values_[i]; }
  const std::string& text(size_t i) const { return std::get<std::string>(values_[i]); }
  const std::vector<std::string>& list(size_t i) const {
    return std::get<std::vector<std::string>>(values_[i]);
  }
  const std::vector<std::string_view>& views(size_t i) const {
    return std::get<TextViews>(values_[i]).views();
  }
  const std::set<std::string>& set(size_t i) const {
    return std::get<std::set<std::string>>(values_[i]);
  }
  bool flag(size_t i) const {
    const bool* b = std::get_if<bool>(&values_[i]);
    return b && *b;
  }
  uint64_t count(size_t i) const { return std::get<uint64_t>(values_[i]); }
  std::optional<uint64_t> opt_count(size_t i) const {
    const uint64_t* c = std::get_if<uint64_t>(&values_[i]);
    return c ? std::optional<uint64_t>(*c) : std::nullopt;
  }
  std::optional<std::string> opt_text(size_t i) const {
    const std::string* s = std::get_if<std::string>(&values_[i]);
    return s ? std::optional<std::string>(*s) : std::nullopt;
  }
  const std::string& bytes(size_t i) const { return text(i); }

 private:
  std::vector<Arg> values_;
};

// A conversion failure: either a TypeError reason to be prefixed with the
// argument's name, or a Python error already set.
struct ConvError {
  std::string type_error;  // empty: a Python error is set
};

std::string type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

std::string cannot_convert(PyObject* o, const char* target) {
  return "'" + type_name(o) + "' object cannot be converted to '" + target + "'";
}

// The UTF-8 text of a str, which the str object keeps.
std::optional<ConvError> text_view(PyObject* o, std::string_view& out) {
  if (!PyUnicode_Check(o)) return ConvError{cannot_convert(o, "PyString")};
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &len);
  if (!s) return ConvError{};
  out = std::string_view(s, static_cast<size_t>(len));
  return std::nullopt;
}

std::optional<ConvError> convert_text(PyObject* o, std::string& out) {
  std::string_view view;
  if (auto err = text_view(o, view)) return err;
  out.assign(view);
  return std::nullopt;
}

// The items of a sequence of str (not a str itself) as UTF-8 views, which
// the items keep.  Returns the sequence as PySequence_Fast gives it (a new
// reference, which keeps the items alive), or nullptr with `error` set.
PyObject* text_items(PyObject* o, std::vector<std::string_view>& items,
                     std::optional<ConvError>& error) {
  if (PyUnicode_Check(o)) {
    error = ConvError{"Can't extract `str` to `Vec`"};
    return nullptr;
  }
  if (!PySequence_Check(o)) {
    error = ConvError{cannot_convert(o, "Sequence")};
    return nullptr;
  }
  PyObject* seq = PySequence_Fast(o, "expected a sequence");
  if (!seq) {
    error = ConvError{};
    return nullptr;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  items.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if ((error = text_view(PySequence_Fast_GET_ITEM(seq, i), items[static_cast<size_t>(i)]))) {
      Py_DECREF(seq);
      return nullptr;
    }
  }
  return seq;
}

std::optional<ConvError> convert_text_list(PyObject* o, std::vector<std::string>& out) {
  std::optional<ConvError> error;
  std::vector<std::string_view> items;
  PyObject* seq = text_items(o, items, error);
  if (!seq) return error;
  out.assign(items.begin(), items.end());
  Py_DECREF(seq);
  return std::nullopt;
}

std::optional<ConvError> convert_text_views(PyObject* o, TextViews& out) {
  // A list is copied (its references only): Python code that runs while
  // later arguments are converted could change it and free its strings.
  PyObject* items = PyList_Check(o) ? PyList_GetSlice(o, 0, PyList_GET_SIZE(o)) : Py_NewRef(o);
  if (!items) return ConvError{};
  std::optional<ConvError> error;
  PyObject* seq = text_items(items, out.views(), error);
  Py_DECREF(items);
  if (!seq) return error;
  out.hold(seq);
  return std::nullopt;
}

std::optional<ConvError> convert_text_set(PyObject* o, std::set<std::string>& out) {
  if (!PyAnySet_Check(o)) return ConvError{cannot_convert(o, "PySet")};
  PyObject* it = PyObject_GetIter(o);
  if (!it) return ConvError{};
  while (PyObject* item = PyIter_Next(it)) {
    std::string s;
    auto err = convert_text(item, s);
    Py_DECREF(item);
    if (err) {
      Py_DECREF(it);
      return err;
    }
    out.insert(std::move(s));
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) return ConvError{};
  return std::nullopt;
}

std::optional<ConvError> convert_bytes(PyObject* o, std::string& out) {
  if (PyBytes_Check(o)) {
    out.assign(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    return std::nullopt;
  }
  if (PyByteArray_Check(o)) {
    out.assign(PyByteArray_AS_STRING(o), static_cast<size_t>(PyByteArray_GET_SIZE(o)));
    return std::nullopt;
  }
  if (PyUnicode_Check(o)) return ConvError{"Can't extract `str` to `Vec`"};
  if (!PySequence_Check(o)) return ConvError{cannot_convert(o, "Sequence")};
  PyObject* seq = PySequence_Fast(o, "expected a sequence");
  if (!seq) return ConvError{};
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  out.clear();
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
    if (!PyLong_Check(item)) {
      Py_DECREF(seq);
      return ConvError{cannot_convert(item, "PyInt")};
    }
    long v = PyLong_AsLong(item);
    if ((v == -1 && PyErr_Occurred()) || v < 0 || v > 255) {
      Py_DECREF(seq);
      PyErr_Clear();
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return ConvError{};
    }
    out.push_back(static_cast<char>(v));
  }
  Py_DECREF(seq);
  return std::nullopt;
}

bool is_numpy_bool(PyObject* o) {
  PyTypeObject* t = Py_TYPE(o);
  std::string_view name = t->tp_name;
  if (name != "numpy.bool" && name != "numpy.bool_") return false;
  PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__");
  if (!module) {
    PyErr_Clear();
    return false;
  }
  bool ok = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
  Py_DECREF(module);
  return ok;
}

std::optional<ConvError> convert_flag(PyObject* o, bool& out) {
  if (PyBool_Check(o)) {
    out = (o == Py_True);
    return std::nullopt;
  }
  if (is_numpy_bool(o)) {
    int truth = PyObject_IsTrue(o);
    if (truth < 0) return ConvError{};
    out = truth != 0;
    return std::nullopt;
  }
  return ConvError{cannot_convert(o, "PyBool")};
}

std::optional<ConvError> convert_count(PyObject* o, uint64_t& out) {
  PyObject* index = PyNumber_Index(o);
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      PyObject* text = value ? PyObject_Str(value) : nullptr;
      const char* msg = text ? PyUnicode_AsUTF8(text) : nullptr;
      ConvError err{msg ? msg : "expected an integer"};
      Py_XDECREF(text);
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
      PyErr_Clear();
      return err;
    }
    return ConvError{};
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return ConvError{};
  out = v;
  return std::nullopt;
}

std::optional<ConvError> convert_arg(const Param& p, PyObject* o, Arg& out) {
  switch (p.kind) {
    case Kind::kText: return convert_text(o, out.emplace<std::string>());
    case Kind::kTextList: return convert_text_list(o, out.emplace<std::vector<std::string>>());
    case Kind::kTextViews: return convert_text_views(o, out.emplace<TextViews>());
    case Kind::kTextSet: return convert_text_set(o, out.emplace<std::set<std::string>>());
    case Kind::kBytes: return convert_bytes(o, out.emplace<std::string>());
    case Kind::kFlag: return convert_flag(o, out.emplace<bool>());
    case Kind::kCount: return convert_count(o, out.emplace<uint64_t>());
    case Kind::kOptCount:
      if (o == Py_None) return std::nullopt;
      return convert_count(o, out.emplace<uint64_t>());
    case Kind::kOptText:
      if (o == Py_None) return std::nullopt;
      return convert_text(o, out.emplace<std::string>());
    case Kind::kJson:
      if (!py_to_canonical(o, out.emplace<std::string>())) return ConvError{};
      return std::nullopt;
    case Kind::kJsonHash:
      if (!py_to_hash(o, out.emplace<std::string>())) return ConvError{};
      return std::nullopt;
  }
  return std::nullopt;
}

std::string quoted_names(const std::vector<const char*>& names) {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    s += "'" + std::string(names[i]) + "'";
  }
  return s;
}

// Places positional and keyword arguments into slots by parameter, raising
// TypeError in the wording of Python's own binding errors.
bool bind_slots(const Signature& sig, PyObject* args, PyObject* kwargs,
                std::vector<PyObject*>& slots) {
  const size_t n = sig.params.size();
  slots.assign(n, nullptr);
  Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<size_t>(given) > n) {
    size_t required = 0;
    for (const auto& p : sig.params) required += p.has_default ? 0 : 1;
    std::string takes = required == n ? std::to_string(n)
                                      : "from " + std::to_string(required) + " to " +
                                            std::to_string(n);
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional arguments but %zd were given",
                 sig.name, takes.c_str(), given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) slots[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      size_t idx = n;
      for (size_t i = 0; i < n; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
          idx = i;
          break;
        }
      }
      if (idx == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name,
                     key);
        return false;
      }
      if (slots[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                     sig.params[idx].name);
        return false;
      }
      slots[idx] = value;
    }
  }
  std::vector<const char*> missing;
  for (size_t i = 0; i < n; ++i)
    if (!slots[i] && !sig.params[i].has_default) missing.push_back(sig.params[i].name);
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 sig.name, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_names(missing).c_str());
    return false;
  }
  return true;
}

bool convert_slot(const Param& p, PyObject* o, Arg& out) {
  if (!o) return true;  // omitted: absent, or false for a flag (Args::flag)
  auto err = convert_arg(p, o, out);
  if (!err) return true;
  if (!err->type_error.empty()) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", p.name, err->type_error.c_str());
  } else if (!is_json(p.kind) && PyErr_ExceptionMatches(PyExc_TypeError)) {
    // Re-raise a TypeError from inside the conversion with the parameter name.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", p.name, text);
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }
  return false;
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) {
  std::vector<PyObject*> slots;
  if (!bind_slots(sig, args, kwargs, slots)) return false;
  for (size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.json_last && is_json(sig.params[i].kind)) continue;
    if (!convert_slot(sig.params[i], slots[i], out[i])) return false;
  }
  if (sig.json_last) {
    for (size_t i = 0; i < sig.params.size(); ++i)
      if (is_json(sig.params[i].kind) && !convert_slot(sig.params[i], slots[i], out[i]))
        return false;
  }
  return true;
}

// True for the text parameters that the operation hands to the system as
// (part of) a path.
bool names_a_path(const Signature& sig, const Param& p) {
  std::string_view name = p.name, function = sig.name;
  if (name == "kx_dir" || name == "path" || name == "data_file" || name == "source" ||
      name == "target")
    return true;
  return (function == "shard_read" || function == "shard_iterate_all") &&
         (name == "layer" || name == "hash_hex");
}

// The system would cut a path at a NUL byte and work on another file, so a
// path holding one is refused before the operation runs.
bool refuse_nul_in_paths(const Signature& sig, const Args& a) {
  for (size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].kind != Kind::kText || !names_a_path(sig, sig.params[i])) continue;
    const std::string& text = a.text(i);
    if (text.find('\0') == std::string::npos) continue;
    std::string message = "path holds a NUL byte: " + quote_path(text);
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return true;
  }
  return false;
}

// Binds, converts, runs `body` and maps C++ exceptions (memory exhaustion,
// or a bug) to Python errors.
template <typename Body>
PyObject* call(const Signature& sig, PyObject* args, PyObject* kwargs, Body&& body) {
  try {
    Args a(sig.params.size());
    if (!bind(sig, args, kwargs, a)) return nullptr;
    if (refuse_nul_in_paths(sig, a)) return nullptr;
    return body(a);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(g_internal_fault, e.what());
    return nullptr;
  }
}

// ---------------------------------------------------- Result conversion ---

PyObject* to_py(const Status& st) {
  if (!st) return raise_error(st.error());
  Py_RETURN_NONE;
}

PyObject* to_py(const Result<std::string>& r) {
  if (!r) return raise_error(r.error());
  return str_from(*r);
}

PyObject* to_py(const Result<uint64_t>& r) {
  if (!r) return raise_error(r.error());
  return PyLong_FromUnsignedLongLong(*r);
}

PyObject* to_py(const Result<std::vector<Value>>& r) {
  if (!r) return raise_error(r.error());
  GcPause pause;
  PyBuilder builder(r->size());
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(r->size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < r->size(); ++i) {
    PyObject* item = builder.convert((*r)[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

template <typename T, typename Fn>
PyObject* list_of(const std::vector<T>& items, Fn&& convert) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// Freeing a large result record by record takes a noticeable share of a
// query; a thread of its own does it while the caller goes on.
void release_in_background(std::vector<std::vector<DocumentRecord>>&& batches, size_t records) {
  if (records < 10000) return;
  try {
    std::thread([doomed = std::move(batches)] {}).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the items are freed here, on return.
  }
}

// Runs a query that hands its records over file by file and converts each
// batch as it arrives, while the pool reads the next files.
PyObject* documents_to_py(const std::function<Status(const DocumentSink&)>& query) {
  PyObject* list = PyList_New(0);
  if (!list) return nullptr;
  std::vector<std::vector<DocumentRecord>> converted;
  size_t records = 0;
  bool failed = false;
  Status st;
  {
    GcPause pause;
    PyBuilder builder(1 << 12);
    st = query([&](std::vector<DocumentRecord>&& batch) {
      for (size_t i = 0; i < batch.size() && !failed; ++i) {
        PyObject* item = builder.convert(batch[i]);
        failed = item == nullptr || PyList_Append(list, item) < 0;
        Py_XDECREF(item);
      }
      records += batch.size();
      converted.push_back(std::move(batch));
    });
  }
  release_in_background(std::move(converted), records);
  if (!st || failed) {
    Py_DECREF(list);
    return st ? nullptr : raise_error(st.error());
  }
  return list;
}

PyObject* to_py(Result<std::vector<DocumentRecord>>&& r) {
  if (!r) return raise_error(r.error());
  return documents_to_py([&](const DocumentSink& sink) {
    sink(std::move(*r));
    return Status{};
  });
}

// A dict with the given keys inserted in order, values as int.
PyObject* counts_dict(std::initializer_list<std::pair<const char*, uint64_t>> items) {
  PyObject* dict = PyDict_New();
  if (!dict) return nullptr;
  for (const auto& [key, value] : items) {
    PyObject* v = PyLong_FromUnsignedLongLong(value);
    if (!v || PyDict_SetItemString(dict, key, v) < 0) {
      Py_XDECREF(v);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(v);
  }
  return dict;
}

PyObject* to_py(const Result<PurgeStats>& r) {
  if (!r) return raise_error(r.error());
  return counts_dict({{"purged", r->purged}, {"kept", r->kept}, {"archived", r->archived}});
}

// ------------------------------------------------------------- Wrappers ---

using enum Kind;

#define KX_WRAPPER(fn) PyObject* w_##fn(PyObject*, PyObject* args, PyObject* kwargs)

const Signature kInit{"init", {{"kx_dir", kText}}};
KX_WRAPPER(init) {
  return call(kInit, args, kwargs, [](Args& a) { return to_py(KxDir::init(a.text(0))); });
}

const Signature kAuthorAdd{"author_add", {{"name", kText}, {"email", kText}, {"kx_dir", kText}}};
KX_WRAPPER(author_add) {
  return call(kAuthorAdd, args, kwargs, [](Args& a) -> PyObject* {
    auto r = authors::add(a.text(2), a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    return str_from(r->id);
  });
}

const Signature kAuthorQuery{"author_query",
                             {{"kx_dir", kText}, {"name", kOptText}, {"email", kOptText}}};
KX_WRAPPER(author_query) {
  return call(kAuthorQuery, args, kwargs, [](Args& a) -> PyObject* {
    auto r = authors::query(a.text(0), a.opt_text(1), a.opt_text(2));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const Author& au) { return str_from(author_to_line(au)); });
  });
}

const Signature kRegisterSection{"register_section",
                                 {{"path", kText},
                                  {"authors", kTextList},
                                  {"contributors", kTextList},
                                  {"license", kText},
                                  {"year", kText},
                                  {"kx_dir", kText}}};
KX_WRAPPER(register_section) {
  return call(kRegisterSection, args, kwargs, [](Args& a) -> PyObject* {
    auto r = register_section(a.text(5), a.text(0), a.list(1), a.list(2), a.text(3), a.text(4));
    if (!r) return raise_error(r.error());
    return str_from(r->section_hash);
  });
}

const Signature kTrack{"track",
                       {{"data", kJsonHash},
                        {"file", kText},
                        {"sources", kTextList},
                        {"kx_dir", kText},
                        {"token_count", kOptCount, true},
                        {"tokenizer", kOptText, true}},
                       /*json_last=*/true};
KX_WRAPPER(track) {
  return call(kTrack, args, kwargs, [](Args& a) {
    return to_py(track(a.text(3), a.text(0), a.text(1), a.list(2), a.opt_count(4), a.opt_text(5)));
  });
}

const Signature kIndexDocument{
    "index_document",
    {{"kx_dir", kText}, {"line_hash", kText}, {"file", kText}, {"sources", kTextList}}};
KX_WRAPPER(index_document) {
  return call(kIndexDocument, args, kwargs, [](Args& a) {
    return to_py(index_document(a.text(0), a.text(1), a.text(2), a.list(3)));
  });
}

const Signature kLookupDocument{"lookup_document", {{"kx_dir", kText}, {"line_hash", kText}}};
KX_WRAPPER(lookup_document) {
  return call(kLookupDocument, args, kwargs,
              [](Args& a) { return to_py(lookup_document(a.text(0), a.text(1))); });
}

const Signature kReadAllDocuments{"read_all_documents", {{"kx_dir", kText}}};
KX_WRAPPER(read_all_documents) {
  return call(kReadAllDocuments, args, kwargs,
              [](Args& a) { return to_py(read_all_documents(a.text(0))); });
}

const Signature kTokenWritePid{
    "token_index_write_pid",
    {{"kx_dir", kText}, {"tokenizer", kText}, {"token_count", kCount}, {"sources", kTextList}}};
KX_WRAPPER(token_index_write_pid) {
  return call(kTokenWritePid, args, kwargs, [](Args& a) {
    return to_py(token_index::write_pid(a.text(0), a.text(1), a.count(2), a.list(3)));
  });
}

const Signature kTokenMerge{"token_index_merge_pid_files", {{"kx_dir", kText}, {"tokenizer", kText}}};
KX_WRAPPER(token_index_merge_pid_files) {
  return call(kTokenMerge, args, kwargs, [](Args& a) -> PyObject* {
    auto r = token_index::merge_pid_files(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(r->first),
                         static_cast<unsigned long long>(r->second));
  });
}

const Signature kTokenList{"token_index_list_tokenizers", {{"kx_dir", kText}}};
KX_WRAPPER(token_index_list_tokenizers) {
  return call(kTokenList, args, kwargs, [](Args& a) -> PyObject* {
    auto r = token_index::list_tokenizers(a.text(0));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const std::string& s) { return str_from(s); });
  });
}

const Signature kTokenStatus{"token_index_token_status", {{"kx_dir", kText}, {"tokenizer", kText}}};
KX_WRAPPER(token_index_token_status) {
  return call(kTokenStatus, args, kwargs, [](Args& a) -> PyObject* {
    auto r = token_index::token_status(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    return counts_dict({{"total_entries", r->total_entries},
                        {"active_entries", r->active_entries},
                        {"revoked_entries", r->revoked_entries},
                        {"total_tokens", r->total_tokens}});
  });
}

const Signature kTokenRevoke{"token_index_revoke_by_sources",
                             {{"kx_dir", kText}, {"tokenizer", kText}, {"target_sources", kTextSet}}};
KX_WRAPPER(token_index_revoke_by_sources) {
  return call(kTokenRevoke, args, kwargs, [](Args& a) {
    return to_py(token_index::revoke_by_sources(a.text(0), a.text(1), a.set(2)));
  });
}

const Signature kTokenBuildBin{"token_index_build_binary_index",
                               {{"kx_dir", kText}, {"tokenizer", kText}}};
KX_WRAPPER(token_index_build_binary_index) {
  return call(kTokenBuildBin, args, kwargs, [](Args& a) -> PyObject* {
    auto r = token_bin_index::build_binary_index(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    return str_from("entries=" + std::to_string(r->entries) +
                    ", sources=" + std::to_string(r->sources));
  });
}

const Signature kBlame{"blame", {{"kx_dir", kText}, {"file", kText}, {"line_content", kText}}};
KX_WRAPPER(blame) {
  return call(kBlame, args, kwargs,
              [](Args& a) { return to_py(blame(a.text(0), a.text(1), a.text(2))); });
}

const Signature kBlameDiff{"blame_diff", {{"old_lines", kTextViews}, {"new_lines", kTextViews}}};
KX_WRAPPER(blame_diff) {
  return call(kBlameDiff, args, kwargs, [](Args& a) -> PyObject* {
    auto ops = blame_diff(a.views(0), a.views(1));
    return list_of(ops, [](const Opcode& op) {
      return Py_BuildValue("(snnnn)", op.tag, static_cast<Py_ssize_t>(op.i1),
                           static_cast<Py_ssize_t>(op.i2), static_cast<Py_ssize_t>(op.j1),
                           static_cast<Py_ssize_t>(op.j2));
    });
  });
}

const Signature kShowByAuthor{"show_by_author", {{"kx_dir", kText}, {"author_name", kText}}};
KX_WRAPPER(show_by_author) {
  return call(kShowByAuthor, args, kwargs,
              [](Args& a) {
                return documents_to_py([&](const DocumentSink& sink) {
                  return show_by_author(a.text(0), a.text(1), sink);
                });
              });
}

const Signature kShowByAuthorToken{
    "show_by_author_token", {{"kx_dir", kText}, {"author_name", kText}, {"tokenizer", kText}}};
KX_WRAPPER(show_by_author_token) {
  return call(kShowByAuthorToken, args, kwargs, [](Args& a) -> PyObject* {
    auto r = show_by_author_token(a.text(0), a.text(1), a.text(2));
    if (!r) return raise_error(r.error());
    PyObject* dict = counts_dict(
        {{"total_tokens", r->total_tokens}, {"document_count", r->document_count}});
    if (!dict) return nullptr;
    PyObject* entries = list_of(
        r->entries, [](const TokenIndexEntry& e) { return json_to_py(token_entry_to_json(e)); });
    if (!entries || PyDict_SetItemString(dict, "entries", entries) < 0) {
      Py_XDECREF(entries);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(entries);
    return dict;
  });
}

const Signature kShowBySection{"show_by_section", {{"kx_dir", kText}, {"section_hash", kText}}};
KX_WRAPPER(show_by_section) {
  return call(kShowBySection, args, kwargs,
              [](Args& a) {
                return documents_to_py([&](const DocumentSink& sink) {
                  return show_by_section(a.text(0), a.text(1), sink);
                });
              });
}

const Signature kShowByLicense{"show_by_license", {{"kx_dir", kText}, {"license", kText}}};
KX_WRAPPER(show_by_license) {
  return call(kShowByLicense, args, kwargs,
              [](Args& a) {
                return documents_to_py([&](const DocumentSink& sink) {
                  return show_by_license(a.text(0), a.text(1), sink);
                });
              });
}

const Signature kRevokeByAuthor{
    "revoke_by_author", {{"kx_dir", kText}, {"author_name", kText}, {"reverse", kFlag, true}}};
KX_WRAPPER(revoke_by_author) {
  return call(kRevokeByAuthor, args, kwargs, [](Args& a) {
    return to_py(revoke_by_author(a.text(0), a.text(1), a.flag(2)));
  });
}

const Signature kRevokeSection{
    "revoke_section", {{"kx_dir", kText}, {"section_hash", kText}, {"reverse", kFlag, true}}};
KX_WRAPPER(revoke_section) {
  return call(kRevokeSection, args, kwargs, [](Args& a) {
    return to_py(revoke_section(a.text(0), a.text(1), a.flag(2)));
  });
}

const Signature kRevokeByAuthorToken{"revoke_by_author_token",
                                     {{"kx_dir", kText},
                                      {"author_name", kText},
                                      {"tokenizer", kText},
                                      {"reverse", kFlag, true}}};
KX_WRAPPER(revoke_by_author_token) {
  return call(kRevokeByAuthorToken, args, kwargs, [](Args& a) {
    return to_py(revoke_by_author_token(a.text(0), a.text(1), a.text(2), a.flag(3)));
  });
}

const Signature kPurgeRevoked{
    "purge_revoked", {{"kx_dir", kText}, {"data_file", kText}, {"dry_run", kFlag}}};
KX_WRAPPER(purge_revoked) {
  return call(kPurgeRevoked, args, kwargs, [](Args& a) {
    return to_py(purge_revoked(a.text(0), a.text(1), a.flag(2)));
  });
}

const Signature kPurgeByAuthor{
    "purge_by_author_indexd",
    {{"kx_dir", kText}, {"author_name", kText}, {"data_file", kText}, {"dry_run", kFlag}}};
KX_WRAPPER(purge_by_author_indexd) {
  return call(kPurgeByAuthor, args, kwargs, [](Args& a) {
    return to_py(purge_by_author_indexed(a.text(0), a.text(1), a.text(2), a.flag(3)));
  });
}

const Signature kPurgeReverse{"purge_reverse", {{"kx_dir", kText}, {"data_file", kText}}};
KX_WRAPPER(purge_reverse) {
  return call(kPurgeReverse, args, kwargs,
              [](Args& a) { return to_py(purge_reverse(a.text(0), a.text(1))); });
}

const Signature kClean{"clean", {{"kx_dir", kText}, {"split", kFlag}}};
KX_WRAPPER(clean) {
  return call(kClean, args, kwargs, [](Args& a) -> PyObject* {
    auto r = clean(a.text(0), a.flag(1));
    if (!r) return raise_error(r.error());
    return counts_dict({{"document_merged", r->document_merged},
                        {"pid_files_deleted", r->pid_files_deleted},
                        {"archived_records", r->archived_records},
                        {"log_rotated", r->log_rotated},
                        {"token_index_merged", r->token_index_merged},
                        {"token_index_pid_deleted", r->token_index_pid_deleted}});
  });
}

const Signature kMergeAbsorb{"merge_absorb", {{"source", kText}, {"target", kText}}};
KX_WRAPPER(merge_absorb) {
  return call(kMergeAbsorb, args, kwargs, [](Args& a) -> PyObject* {
    auto r = absorb(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    return counts_dict({{"authors_added", r->authors_added},
                        {"sections_added", r->sections_added},
                        {"document_added", r->document_added},
                        {"token_index_added", r->token_index_added},
                        {"skipped", r->skipped}});
  });
}

const Signature kBuildIndex{"build_index", {{"kx_dir", kText}}};
KX_WRAPPER(build_index) {
  return call(kBuildIndex, args, kwargs, [](Args& a) -> PyObject* {
    auto r = build_index(a.text(0));
    if (!r) return raise_error(r.error());
    return counts_dict({{"authors", r->authors},
                        {"sections", r->sections},
                        {"total", r->total},
                        {"token_index_entries", r->token_index_entries}});
  });
}

const Signature kGenerateForgetSet{"generate_forget_set", {{"kx_dir", kText}, {"tokenizer", kText}}};
KX_WRAPPER(generate_forget_set) {
  return call(kGenerateForgetSet, args, kwargs, [](Args& a) -> PyObject* {
    auto r = generate_forget_set(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    return PyBytes_FromStringAndSize(r->data(), static_cast<Py_ssize_t>(r->size()));
  });
}

const Signature kWriteForgetSet{"write_forget_set", {{"path", kText}, {"bitmask", kBytes}}};
KX_WRAPPER(write_forget_set) {
  return call(kWriteForgetSet, args, kwargs,
              [](Args& a) { return to_py(write_forget_set(a.text(0), a.bytes(1))); });
}

const Signature kJsonlRead{"jsonl_read", {{"path", kText}}};
KX_WRAPPER(jsonl_read) {
  return call(kJsonlRead, args, kwargs, [](Args& a) { return to_py(jsonl_read(a.text(0))); });
}

const Signature kJsonlAppend{"jsonl_append", {{"path", kText}, {"record", kJson}}};
KX_WRAPPER(jsonl_append) {
  return call(kJsonlAppend, args, kwargs,
              [](Args& a) { return to_py(jsonl_append_line(a.text(0), a.text(1) + '\n')); });
}

const Signature kShardPathStr{"shard_path_str",
                              {{"kx_dir", kText}, {"layer", kText}, {"hash_hex", kText}}};
KX_WRAPPER(shard_path_str) {
  return call(kShardPathStr, args, kwargs,
              [](Args& a) { return to_py(shard_path(a.text(0), a.text(1), a.text(2))); });
}

const Signature kShardRead{"shard_read", {{"kx_dir", kText}, {"layer", kText}, {"hash_hex", kText}}};
KX_WRAPPER(shard_read) {
  return call(kShardRead, args, kwargs, [](Args& a) -> PyObject* {
    auto path = shard_path(a.text(0), a.text(1), a.text(2));
    if (!path) return raise_error(path.error());
    return to_py(jsonl_read(*path));
  });
}

const Signature kShardIterateAll{"shard_iterate_all", {{"kx_dir", kText}, {"layer", kText}}};
KX_WRAPPER(shard_iterate_all) {
  return call(kShardIterateAll, args, kwargs,
              [](Args& a) { return to_py(shard_iterate_all(a.text(0), a.text(1))); });
}

const Signature kOplogAppend{"oplog_append",
                             {{"kx_dir", kText}, {"operation", kText}, {"detail", kText}}};
KX_WRAPPER(oplog_append) {
  return call(kOplogAppend, args, kwargs,
              [](Args& a) { return to_py(oplog::append(a.text(0), a.text(1), a.text(2))); });
}

const Signature kComputeHash{"compute_hash", {{"data", kJsonHash}}};
KX_WRAPPER(compute_hash) {
  return call(kComputeHash, args, kwargs, [](Args& a) { return str_from(a.text(0)); });
}

// ---------------------------------------------------------------- Module ---

#define KX_DOC(sig) sig "\n--\n\n"
#define KX_METHOD(fn, sig) \
  {#fn, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(w_##fn)), \
   METH_VARARGS | METH_KEYWORDS, KX_DOC(sig)}

PyMethodDef g_methods[] = {
    KX_METHOD(init, "init(kx_dir)"),
    KX_METHOD(author_add, "author_add(name, email, kx_dir)"),
    KX_METHOD(author_query, "author_query(kx_dir, name, email)"),
    KX_METHOD(register_section, "register_section(path, authors, contributors, license, year, kx_dir)"),
    KX_METHOD(track, "track(data, file, sources, kx_dir, token_count=None, tokenizer=None)"),
    KX_METHOD(index_document, "index_document(kx_dir, line_hash, file, sources)"),
    KX_METHOD(lookup_document, "lookup_document(kx_dir, line_hash)"),
    KX_METHOD(read_all_documents, "read_all_documents(kx_dir)"),
    KX_METHOD(token_index_write_pid, "token_index_write_pid(kx_dir, tokenizer, token_count, sources)"),
    KX_METHOD(token_index_merge_pid_files, "token_index_merge_pid_files(kx_dir, tokenizer)"),
    KX_METHOD(token_index_list_tokenizers, "token_index_list_tokenizers(kx_dir)"),
    KX_METHOD(token_index_token_status, "token_index_token_status(kx_dir, tokenizer)"),
    KX_METHOD(token_index_revoke_by_sources,
              "token_index_revoke_by_sources(kx_dir, tokenizer, target_sources)"),
    KX_METHOD(token_index_build_binary_index, "token_index_build_binary_index(kx_dir, tokenizer)"),
    KX_METHOD(blame, "blame(kx_dir, file, line_content)"),
    {"blame_diff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(w_blame_diff)),
     METH_VARARGS | METH_KEYWORDS,
     KX_DOC("blame_diff(old_lines, new_lines)")
     "Compute line-level diff opcodes for blame attribution.\n\n"
     "Returns (tag, i1, i2, j1, j2) tuples compatible with\n"
     "difflib.SequenceMatcher.get_opcodes()."},
    KX_METHOD(show_by_author, "show_by_author(kx_dir, author_name)"),
    KX_METHOD(show_by_author_token, "show_by_author_token(kx_dir, author_name, tokenizer)"),
    KX_METHOD(show_by_section, "show_by_section(kx_dir, section_hash)"),
    KX_METHOD(show_by_license, "show_by_license(kx_dir, license)"),
    KX_METHOD(revoke_by_author, "revoke_by_author(kx_dir, author_name, reverse=False)"),
    KX_METHOD(revoke_section, "revoke_section(kx_dir, section_hash, reverse=False)"),
    KX_METHOD(revoke_by_author_token,
              "revoke_by_author_token(kx_dir, author_name, tokenizer, reverse=False)"),
    KX_METHOD(purge_revoked, "purge_revoked(kx_dir, data_file, dry_run)"),
    KX_METHOD(purge_by_author_indexd, "purge_by_author_indexd(kx_dir, author_name, data_file, dry_run)"),
    KX_METHOD(purge_reverse, "purge_reverse(kx_dir, data_file)"),
    KX_METHOD(clean, "clean(kx_dir, split)"),
    KX_METHOD(merge_absorb, "merge_absorb(source, target)"),
    KX_METHOD(build_index, "build_index(kx_dir)"),
    KX_METHOD(generate_forget_set, "generate_forget_set(kx_dir, tokenizer)"),
    KX_METHOD(write_forget_set, "write_forget_set(path, bitmask)"),
    KX_METHOD(jsonl_read, "jsonl_read(path)"),
    KX_METHOD(jsonl_append, "jsonl_append(path, record)"),
    KX_METHOD(shard_path_str, "shard_path_str(kx_dir, layer, hash_hex)"),
    KX_METHOD(shard_read, "shard_read(kx_dir, layer, hash_hex)"),
    KX_METHOD(shard_iterate_all, "shard_iterate_all(kx_dir, layer)"),
    KX_METHOD(oplog_append, "oplog_append(kx_dir, operation, detail)"),
    KX_METHOD(compute_hash, "compute_hash(data)"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_kx_native", "", -1, g_methods,
                        nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace kestrix

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kx_native() {
  using namespace kestrix;
  if (!g_internal_fault) {
    g_internal_fault = PyErr_NewExceptionWithDoc(
        "kestrix.InternalFault", "A violated internal invariant of the native module.",
        PyExc_BaseException, nullptr);
    if (!g_internal_fault) return nullptr;
  }
  return PyModule_Create(&g_module);
}
