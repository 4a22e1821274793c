// The generic half of a Python boundary: the argument binder driven by a
// table of signatures, the conversions between Python objects and JSON
// values or records, and the mapping of operation errors to Python
// exceptions.  Compiled into each extension module (never into kx_core, which
// builds without Python); each module creates its own InternalFault type and
// stores it in g_internal_fault before its first call.  Every function here
// expects the interpreter lock to be held.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "error.h"
#include "json.h"
#include "purge.h"
#include "show.h"

namespace kestrix {

// Raised for violated internal invariants; derives from BaseException so
// that `except Exception` does not swallow a programming error.
extern PyObject* g_internal_fault;

// Sets the Python error of an operation failure and returns nullptr.  The
// message is the outermost one; an error that names its file carries it as
// the exception's `filename` attribute.
PyObject* raise_error(const Error& e);

// New str from UTF-8 bytes; invalid bytes become U+FFFD rather than failing.
PyObject* str_from(std::string_view s);

PyObject* json_to_py(const Value& v);

// -------------------------------------------------------------- Binding ---

// kJson: JSON data as its canonical text (py_json.h).
// kJsonHash: JSON data of which only the content hash is needed.
// kTextViews: a text list read in place, without copying its strings.
enum class Kind {
  kText, kTextList, kTextViews, kTextSet, kBytes, kFlag,
  kCount, kOptCount, kOptText, kJson, kJsonHash,
  kCallable,    // a callable, borrowed for the call
  kOptCallable  // a callable or None, borrowed for the call
};

inline bool is_json(Kind kind) { return kind == Kind::kJson || kind == Kind::kJsonHash; }

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
                         std::set<std::string>, bool, uint64_t, PyObject*>;

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
  // The callable given, borrowed from the call's arguments, or nullptr.
  PyObject* callable(size_t i) const {
    PyObject* const* o = std::get_if<PyObject*>(&values_[i]);
    return o ? *o : nullptr;
  }

 private:
  std::vector<Arg> values_;
};

// A conversion failure: either a TypeError reason to be prefixed with the
// argument's name, or a Python error already set.
struct ConvError {
  std::string type_error;  // empty: a Python error is set
};


// Binds positional and keyword arguments to `sig` and converts them into
// `out`; false with a Python error set on failure.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out);

// True (with RuntimeError set) when a path argument holds a NUL byte.
bool refuse_nul_in_paths(const Signature& sig, const Args& a);

// One function of a module: its signature and its wrapper, which binds with
// that signature; `doc` follows the text signature in the docstring.
using Wrapper = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);
struct Function {
  const Signature* sig;
  Wrapper wrapper;
  const char* doc = "";
};

// A method table for PyModuleDef, ending in the null row, with each
// docstring made of text_signature() and the function's doc.  It lives for
// the rest of the process.
PyMethodDef* method_table(std::initializer_list<Function> functions);

// The text signature of `sig` as inspect reads it: "name(a, b, c=None)",
// a flag's default written False.
std::string text_signature(const Signature& sig);

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

PyObject* to_py(const Status& st);
PyObject* to_py(const Result<std::string>& r);
PyObject* to_py(const Result<uint64_t>& r);
PyObject* to_py(const Result<std::vector<Value>>& r);
PyObject* to_py(Result<std::vector<DocumentRecord>>&& r);
PyObject* to_py(const Result<PurgeStats>& r);
// {"total_tokens", "document_count", "entries"}, entries as merged lines.
PyObject* to_py(const Result<TokenTotals>& r);

// Creates the module `def` with the function table `methods` (nullptr when
// building it failed), first making this module's internal-fault exception
// type `fault_name`, derived from BaseException, once per process.
PyObject* create_module(PyModuleDef& def, PyMethodDef* methods, const char* fault_name,
                        const char* fault_doc);

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

// Runs a query that hands its records over file by file and converts each
// batch as it arrives, while the pool reads the next files.
PyObject* documents_to_py(const std::function<Status(const DocumentSink&)>& query);

// A dict with the given keys inserted in order, values as int.
PyObject* counts_dict(std::initializer_list<std::pair<const char*, uint64_t>> items);

}  // namespace kestrix
