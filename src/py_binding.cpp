// The generic binder and conversions shared by the extension modules (see
// py_binding.h).
#include "py_binding.h"

#include <cstring>

#include "fs.h"
#include "hash.h"
#include "py_json.h"

namespace kestrix {

PyObject* g_internal_fault = nullptr;

PyObject* raise_error(const Error& e) {
  PyObject* type = e.is_fault() ? g_internal_fault : PyExc_RuntimeError;
  if (e.path().empty()) {
    PyErr_SetString(type, e.outermost().c_str());
    return nullptr;
  }
  // The message stays the outermost one; the file it concerns travels as
  // the exception's `filename`, as it does on an OSError.
  PyObject* message = str_from(e.outermost());
  PyObject* error = message ? PyObject_CallOneArg(type, message) : nullptr;
  Py_XDECREF(message);
  const std::string& path = e.path();
  PyObject* filename =
      error ? PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()))
            : nullptr;
  if (filename && PyObject_SetAttrString(error, "filename", filename) == 0) {
    PyErr_SetObject(type, error);
  }
  Py_XDECREF(filename);
  Py_XDECREF(error);
  return nullptr;
}


// ---------------------------------------------------------- Conversions ---

PyObject* str_from(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

namespace {

// Converts JSON values and records to Python objects.  Object keys, file
// names and section hashes repeat from record to record, so their str
// objects are shared through a table of the strs made so far (up to a
// bound, beyond which further strings are no longer added).
class PyBuilder {
 public:
  // `expected_strings` sizes the table at first: about how many distinct
  // strings the conversion may meet.  It grows when they are more.
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
      case Value::Kind::kArray:
        return list_of(*v.as_array(), [this](const Value& item) { return convert(item); });
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

  PyObject* convert(const DocumentRecord& d) {
    return document(d.line_hash, d.file, d.sources.size(),
                    [&](size_t k) -> std::string_view { return d.sources[k]; });
  }

  PyObject* convert(const DocumentBatch& batch, size_t i) {
    return document(batch.line_hash(i), batch.file(i), batch.source_count(i),
                    [&](size_t k) { return batch.source(i, k); });
  }

 private:
  // {"file", "line_hash", "sources"} built directly; source(k) gives the
  // k-th of `sources` sources.
  template <typename Source>
  PyObject* document(std::string_view line_hash_text, std::string_view file_text, size_t sources_n,
                     Source&& source) {
    static PyObject* const kFile = PyUnicode_InternFromString("file");
    static PyObject* const kLineHash = PyUnicode_InternFromString("line_hash");
    static PyObject* const kSources = PyUnicode_InternFromString("sources");
    if (!kFile || !kLineHash || !kSources) return nullptr;
    PyObject* sources = PyList_New(static_cast<Py_ssize_t>(sources_n));
    bool ok = sources != nullptr;
    for (size_t k = 0; ok && k < sources_n; ++k) {
      PyObject* s = shared_str(source(k));
      ok = s != nullptr;
      if (ok) PyList_SET_ITEM(sources, static_cast<Py_ssize_t>(k), s);
    }
    PyObject* file = ok ? shared_str(file_text) : nullptr;
    PyObject* line_hash = file ? str_from(line_hash_text) : nullptr;
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

  // A slot holds an ASCII str (whose characters are its UTF-8 bytes,
  // stored in the object itself, so that comparing them touches the memory
  // the reference count is kept in anyway) and a hash of those bytes.
  struct Slot {
    uint64_t hash = 0;
    PyObject* obj = nullptr;
  };

  static uint64_t hash_of(std::string_view s) {
    uint64_t a = 0, b = 0;
    if (s.size() >= 8) {
      std::memcpy(&a, s.data(), 8);
      std::memcpy(&b, s.data() + s.size() - 8, 8);
    } else {
      std::memcpy(&a, s.data(), s.size());
    }
    return (a ^ (b * 0x9E3779B97F4A7C15ULL) ^ s.size()) * 0xBF58476D1CE4E5B9ULL;
  }

  static bool holds(PyObject* ascii, std::string_view s) {
    return static_cast<size_t>(PyUnicode_GET_LENGTH(ascii)) == s.size() &&
           std::memcmp(PyUnicode_DATA(ascii), s.data(), s.size()) == 0;
  }

  // A new reference to a str equal to `s`: the one made for an equal
  // string before, when the table holds it.  Open addressing with linear
  // probing, at most half full.
  PyObject* shared_str(std::string_view s) {
    if (s.size() > kMaxKeyLength) return str_from(s);
    if (slots_.empty()) slots_.resize(mask_ + 1);
    const uint64_t hash = hash_of(s);
    size_t i = static_cast<size_t>(hash >> 32) & mask_;
    for (; slots_[i].obj; i = (i + 1) & mask_)
      if (slots_[i].hash == hash && holds(slots_[i].obj, s)) return Py_NewRef(slots_[i].obj);
    PyObject* obj = str_from(s);
    if (!obj || !PyUnicode_IS_ASCII(obj) || 2 * (used_ + 1) > slots_.size()) return obj;
    slots_[i] = Slot{hash, Py_NewRef(obj)};
    if (2 * ++used_ >= slots_.size() && slots_.size() < kMaxSlots) grow();
    return obj;
  }

  // Doubles the table, moving every str to its slot in the new one.
  void grow() {
    std::vector<Slot> old(2 * slots_.size());
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (!slot.obj) continue;
      size_t i = static_cast<size_t>(slot.hash >> 32) & mask_;
      while (slots_[i].obj) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  static constexpr size_t kMaxSlots = size_t{1} << 20;
  static constexpr size_t kMaxKeyLength = 128;
  size_t mask_;
  size_t used_ = 0;
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

}  // namespace

PyObject* json_to_py(const Value& v) {
  PyBuilder builder;
  return builder.convert(v);
}

// -------------------------------------------------------------- Binding ---

namespace {

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

// With `python_follows`, Python code may run while later arguments are
// converted, and it could change an exact list and free its strings: such a
// list is copied (its references only).  Other sequences are read as
// PySequence_Fast gives them: a tuple cannot change, and anything else
// becomes a list of our own.
std::optional<ConvError> convert_text_views(PyObject* o, TextViews& out, bool python_follows) {
  PyObject* items = python_follows && PyList_CheckExact(o) ? PyList_GetSlice(o, 0, PyList_GET_SIZE(o))
                                                            : Py_NewRef(o);
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

std::optional<ConvError> convert_arg(const Param& p, PyObject* o, Arg& out, bool python_follows) {
  switch (p.kind) {
    case Kind::kText: return convert_text(o, out.emplace<std::string>());
    case Kind::kTextList: return convert_text_list(o, out.emplace<std::vector<std::string>>());
    case Kind::kTextViews:
      return convert_text_views(o, out.emplace<TextViews>(), python_follows);
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
    case Kind::kOptCallable:
      if (o == Py_None) return std::nullopt;
      [[fallthrough]];
    case Kind::kCallable:
      if (!PyCallable_Check(o)) return ConvError{"'" + type_name(o) + "' object is not callable"};
      out.emplace<PyObject*>(o);
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

bool convert_slot(const Param& p, PyObject* o, Arg& out, bool python_follows) {
  if (!o) return true;  // omitted: absent, or false for a flag (Args::flag)
  auto err = convert_arg(p, o, out, python_follows);
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

// True when converting `o` for `p` runs no Python code: the binder reads
// None, bools, exact ints and str and exact lists and tuples in plain C.
bool converts_without_python(const Param& p, PyObject* o) {
  if (!o) return true;
  if (is_json(p.kind)) return false;
  return o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o) || PyUnicode_CheckExact(o) ||
         PyList_CheckExact(o) || PyTuple_CheckExact(o);
}

}  // namespace

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) {
  std::vector<PyObject*> slots;
  if (!bind_slots(sig, args, kwargs, slots)) return false;
  const size_t n = sig.params.size();
  // Conversion in two passes: JSON data waits for the second where the
  // signature says so.
  auto pass_of = [&](size_t i) { return sig.json_last && is_json(sig.params[i].kind) ? 1 : 0; };
  auto python_follows = [&](size_t i) {
    for (size_t j = 0; j < n; ++j) {
      const bool later = pass_of(j) > pass_of(i) || (pass_of(j) == pass_of(i) && j > i);
      if (later && !converts_without_python(sig.params[j], slots[j])) return true;
    }
    return false;
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < n; ++i) {
      if (pass_of(i) != pass) continue;
      const bool follows = sig.params[i].kind == Kind::kTextViews && python_follows(i);
      if (!convert_slot(sig.params[i], slots[i], out[i], follows)) return false;
    }
  }
  return true;
}

namespace {

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

}  // namespace

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


std::string text_signature(const Signature& sig) {
  std::string s = sig.name;
  s += '(';
  for (size_t i = 0; i < sig.params.size(); ++i) {
    const Param& p = sig.params[i];
    if (i > 0) s += ", ";
    s += p.name;
    if (p.has_default) s += p.kind == Kind::kFlag ? "=False" : "=None";
  }
  s += ')';
  return s;
}

PyMethodDef* method_table(std::initializer_list<Function> functions) {
  auto* docs = new std::vector<std::string>();
  auto* table = new PyMethodDef[functions.size() + 1]{};
  docs->reserve(functions.size());
  size_t i = 0;
  for (const Function& f : functions) {
    docs->push_back(text_signature(*f.sig) + "\n--\n\n" + f.doc);
    table[i++] = {f.sig->name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f.wrapper)),
                  METH_VARARGS | METH_KEYWORDS, docs->back().c_str()};
  }
  return table;
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



PyObject* documents_to_py(const std::function<Status(const DocumentSink&)>& query) {
  GcPause pause;
  // The items are gathered first and the list made once at its final size:
  // a list grown item by item is copied into ever larger arrays.
  std::vector<PyObject*> items;
  bool failed = false;
  PyBuilder builder(1 << 12);
  Status st = query([&](DocumentBatch&& batch) {
    for (size_t i = 0; i < batch.size() && !failed; ++i) {
      PyObject* item = builder.convert(batch, i);
      failed = item == nullptr;
      if (item) items.push_back(item);
    }
  });
  PyObject* list = st && !failed ? PyList_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
  if (!list) {
    for (PyObject* item : items) Py_DECREF(item);
    return st ? nullptr : raise_error(st.error());
  }
  for (size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), items[i]);
  return list;
}

PyObject* to_py(Result<std::vector<DocumentRecord>>&& r) {
  if (!r) return raise_error(r.error());
  GcPause pause;
  PyBuilder builder(r->size());
  return list_of(*r, [&](const DocumentRecord& record) { return builder.convert(record); });
}

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

PyObject* to_py(const Result<TokenTotals>& r) {
  if (!r) return raise_error(r.error());
  PyObject* dict =
      counts_dict({{"total_tokens", r->total_tokens}, {"document_count", r->document_count}});
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
}

PyObject* create_module(PyModuleDef& def, PyMethodDef* methods, const char* fault_name,
                        const char* fault_doc) {
  if (!g_internal_fault) {
    g_internal_fault =
        PyErr_NewExceptionWithDoc(fault_name, fault_doc, PyExc_BaseException, nullptr);
    if (!g_internal_fault) return nullptr;
  }
  def.m_methods = methods;
  if (!def.m_methods) return nullptr;
  return PyModule_Create(&def);
}

}  // namespace kestrix
