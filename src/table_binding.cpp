// The Parquet provider of kx._core; see table_binding.h.
//
// The core calls the provider from the thread of an operation that runs
// with the interpreter lock released (or, when no thread could be had, on
// the calling thread that holds it), so each call takes the lock for itself.
// Batches cross as PyCapsules of the Arrow C data interface: their structs
// are moved out, and released later by the core without the lock (pyarrow's
// release callbacks take it themselves where they need it).
#include "table_binding.h"

#include <utility>

#include "py_binding.h"
#include "table_files.h"

namespace kestrix {
namespace {

// Holds the interpreter lock for a scope, on any thread.
class InterpreterLock {
 public:
  InterpreterLock() : state_(PyGILState_Ensure()) {}
  ~InterpreterLock() { PyGILState_Release(state_); }
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;

 private:
  PyGILState_STATE state_;
};

// The Python exception raised, as an error naming `path` (its first line:
// messages are one line).  The exception is cleared.
Error python_error(const std::string& path) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string text;
  PyObject* str = value != nullptr ? PyObject_Str(value) : nullptr;
  const char* utf8 = str != nullptr ? PyUnicode_AsUTF8(str) : nullptr;
  if (utf8 != nullptr) text = utf8;
  PyErr_Clear();
  if (text.empty() && type != nullptr) text = reinterpret_cast<PyTypeObject*>(type)->tp_name;
  text = text.substr(0, text.find('\n'));
  Py_XDECREF(str);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return std::move(Error::msg(text).about(path));
}

PyObject* path_to_py(const std::string& path) {
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

// Row indexes as the bytes of an array of native uint64.
PyObject* rows_to_py(const std::vector<uint64_t>& rows) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rows.data()),
                                   static_cast<Py_ssize_t>(rows.size() * sizeof(uint64_t)));
}

// Calls kx.parquet.<function>(*arguments built by `format`); a new
// reference, or nullptr with the Python error set.
template <typename... A>
PyObject* call_parquet(const char* function, const char* format, A... arguments) {
  PyObject* module = PyImport_ImportModule("kx.parquet");
  if (module == nullptr) return nullptr;
  PyObject* result = PyObject_CallMethod(module, function, format, arguments...);
  Py_DECREF(module);
  return result;
}

// Moves the batch a PyCapsule pair from __arrow_c_array__() holds into
// `batch`; false with the Python error set.
bool take_batch(PyObject* capsules, ArrowBatch& batch) {
  PyObject *schema_capsule, *array_capsule;
  if (!PyArg_ParseTuple(capsules, "OO", &schema_capsule, &array_capsule)) return false;
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
  if (schema == nullptr || array == nullptr) return false;
  // Taken over: the capsules' destructors release nothing now.
  batch.schema = std::exchange(*schema, ArrowSchema{});
  batch.array = std::exchange(*array, ArrowArray{});
  return true;
}

// The batches of kx.parquet.Rows(path).
class PythonBatches final : public BatchSource {
 public:
  PythonBatches(PyObject* rows, std::string path) : rows_(rows), path_(std::move(path)) {}
  ~PythonBatches() override {
    InterpreterLock lock;
    Py_DECREF(rows_);
  }

  Result<std::unique_ptr<ArrowBatch>> next(uint64_t& file_bytes) override {
    InterpreterLock lock;
    PyObject* item = PyObject_CallMethod(rows_, "next_batch", nullptr);
    PyObject* batch = nullptr;
    unsigned long long bytes = 0;
    if (item == nullptr || !PyArg_ParseTuple(item, "OK", &batch, &bytes)) {
      Py_XDECREF(item);
      return fail(python_error(path_));
    }
    file_bytes = bytes;
    std::unique_ptr<ArrowBatch> taken;
    if (batch != Py_None) {
      taken = std::make_unique<ArrowBatch>();
      PyObject* capsules = PyObject_CallMethod(batch, "__arrow_c_array__", nullptr);
      const bool ok = capsules != nullptr && take_batch(capsules, *taken);
      Py_XDECREF(capsules);
      if (!ok) {
        Py_DECREF(item);
        return fail(python_error(path_));
      }
    }
    Py_DECREF(item);
    return taken;
  }

 private:
  PyObject* rows_;
  std::string path_;
};

Result<std::unique_ptr<BatchSource>> open_rows(const std::string& path) {
  InterpreterLock lock;
  PyObject* rows = call_parquet("Rows", "(N)", path_to_py(path));
  if (rows == nullptr) return fail(python_error(path));
  return std::unique_ptr<BatchSource>(std::make_unique<PythonBatches>(rows, path));
}

// Calls a rewrite of kx.parquet: function(path, rows, first_out, second_out).
Status rewrite(const char* function, const std::string& path, const std::vector<uint64_t>& rows,
               const std::string& first, const std::string& second) {
  InterpreterLock lock;
  PyObject* done = call_parquet(function, "(NNNN)", path_to_py(path), rows_to_py(rows),
                                path_to_py(first), path_to_py(second));
  if (done == nullptr) return fail(python_error(path));
  Py_DECREF(done);
  return {};
}

}  // namespace

void register_parquet_provider() {
  set_table_provider(TableProvider{
      open_rows,
      [](const std::string& path, const std::vector<uint64_t>& removed, const std::string& kept,
         const std::string& removed_path) {
        return rewrite("remove_rows", path, removed, kept, removed_path);
      },
      [](const std::string& path, const std::vector<uint64_t>& positions,
         const std::string& removed_path, const std::string& out) {
        return rewrite("restore_rows", path, positions, removed_path, out);
      }});
}

}  // namespace kestrix
