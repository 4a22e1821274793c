// The Python boundary of kx._core, the kx package's own view of a store:
// what the command line needs to know about a store (listings, revocation
// state, pending pid files, index freshness, the log and the purge
// archives), computed by the core's own rules, and the command's purges and
// their exact undo, with progress (the dry run of a purge by author counts
// the lines of the data file).
// Built on the binder of py_binding.h like _kx_native.  The purges release
// the interpreter lock while they run; a progress callback, when given, is
// called on the calling thread with the lock held again.
#include "py_binding.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "progress.h"
#include "purge.h"
#include "purge_exact.h"
#include "purge_rewrite.h"
#include "store_view.h"
#include "token_index.h"

namespace kestrix {
namespace {

using enum Kind;

// How often a purge's progress callback is called.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// ---------------------------------------------------- Result conversion ---

// Keys in the order of the authors layer: id, name, email, revoked.
PyObject* author_to_py(const Author& a) {
  return Py_BuildValue("{s:N,s:N,s:N,s:O}", "id", str_from(a.id), "name", str_from(a.name),
                       "email", str_from(a.email), "revoked", a.revoked ? Py_True : Py_False);
}

// The section's first record with `revoked` set to the merged state (in the
// record's own place when it carries the member, else last).
PyObject* section_to_py(const store_view::SectionState& s) {
  PyObject* dict = json_to_py(s.record);
  if (dict && PyDict_SetItemString(dict, "revoked", s.revoked ? Py_True : Py_False) < 0) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* optional_str(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return str_from(*s);
}

PyObject* withdrawal_to_py(const store_view::Withdrawal& w) {
  PyObject* authors = list_of(w.revoked_authors, author_to_py);
  if (!authors) return nullptr;
  PyObject* dict = Py_BuildValue("{s:N,s:N,s:O,s:N}", "section_hash", str_from(w.section_hash),
                                 "path", str_from(w.path), "section_revoked",
                                 w.section_revoked ? Py_True : Py_False, "revoked_authors", authors);
  return dict;
}

PyObject* stats_to_py(const Result<PurgeStats>& r) { return to_py(r); }

PyObject* undo_to_py(const Result<UndoResult>& r) {
  if (!r) return raise_error(r.error());
  PyObject* archive = r->archive.empty() ? Py_NewRef(Py_None) : str_from(r->archive);
  return Py_BuildValue("{s:N,s:K,s:N}", "outcome", str_from(undo_outcome_name(r->outcome)),
                       "restored", static_cast<unsigned long long>(r->restored), "archive", archive);
}

// What a purge of one author would do to one data file.
struct AuthorPreview {
  PurgeStats stats;       // the lines of the data file it would remove and keep
  uint64_t author_lines;  // the author's distinct lines in the whole store
};

PyObject* preview_to_py(const Result<AuthorPreview>& r) {
  if (!r) return raise_error(r.error());
  return counts_dict({{"purged", r->stats.purged},
                      {"kept", r->stats.kept},
                      {"archived", 0},
                      {"author_lines", r->author_lines}});
}

// The dry run of purge_by_author: the checks of the purge itself, then the
// data file classified as the purge would classify it.
Result<AuthorPreview> preview_author_purge(const std::string& kx_dir, const std::string& author_name,
                                           const std::string& data_file) {
  KX_ASSIGN_OR_RETURN(PurgeStats distinct, purge_by_author_indexed(kx_dir, author_name, data_file, true));
  KX_ASSIGN_OR_RETURN(std::vector<std::string> hashes, resolve_author_line_hashes(kx_dir, author_name));
  KX_ASSIGN_OR_RETURN(PurgeStats stats, purge_data_file(kx_dir, data_file, hashes, PurgeMode::kDryRun));
  return AuthorPreview{stats, distinct.purged};
}

// Runs `op` (a purge) with the interpreter lock released.  With a callable
// `progress`, the operation runs on a thread of its own while this thread
// calls progress(bytes_done) every kProgressInterval and once at the end.
// An exception the callback raises (Ctrl-C, say) stops the calls and is
// raised once the operation has finished, since a purge under way is not
// stopped half-way.
template <typename Op, typename Convert>
PyObject* run_released(PyObject* progress, Op&& op, Convert&& convert) {
  std::atomic<uint64_t> done{0};
  std::optional<decltype(op())> result;
  std::exception_ptr thrown;
  auto run = [&] {
    try {
      ProgressScope scope(done);
      result.emplace(op());
    } catch (...) {
      thrown = std::current_exception();
    }
  };
  if (progress == nullptr) {
    Py_BEGIN_ALLOW_THREADS
    run();
    Py_END_ALLOW_THREADS
    if (thrown) std::rethrow_exception(thrown);
    return convert(*result);
  }

  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
  PyObject *error_type = nullptr, *error_value = nullptr, *error_tb = nullptr;
  auto report = [&](uint64_t bytes) {
    if (error_type != nullptr) return;
    PyObject* arg = PyLong_FromUnsignedLongLong(bytes);
    PyObject* r = arg ? PyObject_CallOneArg(progress, arg) : nullptr;
    Py_XDECREF(arg);
    Py_XDECREF(r);
    if (!r) PyErr_Fetch(&error_type, &error_value, &error_tb);
  };

  PyThreadState* saved = PyEval_SaveThread();
  std::optional<std::thread> worker;
  try {
    worker.emplace([&] {
      run();
      std::lock_guard lock(mutex);
      finished = true;
      finished_cv.notify_all();
    });
  } catch (const std::system_error&) {
    run();  // no thread to spare: no progress either
    finished = true;
  }
  if (worker) {
    std::unique_lock lock(mutex);
    while (!finished_cv.wait_for(lock, kProgressInterval, [&] { return finished; })) {
      lock.unlock();
      PyEval_RestoreThread(saved);
      report(done.load(std::memory_order_relaxed));
      saved = PyEval_SaveThread();
      lock.lock();
    }
    lock.unlock();
    worker->join();
  }
  PyEval_RestoreThread(saved);
  if (thrown) {
    Py_XDECREF(error_type);
    Py_XDECREF(error_value);
    Py_XDECREF(error_tb);
    std::rethrow_exception(thrown);
  }
  if (*result) report(done.load(std::memory_order_relaxed));
  if (error_type != nullptr) {
    PyErr_Restore(error_type, error_value, error_tb);
    return nullptr;
  }
  return convert(*result);
}

// ------------------------------------------------------------- Wrappers ---

#define KX_WRAPPER(fn) PyObject* w_##fn(PyObject*, PyObject* args, PyObject* kwargs)

const Signature kSections{"sections", {{"kx_dir", kText}}};
KX_WRAPPER(sections) {
  return call(kSections, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::sections(a.text(0));
    if (!r) return raise_error(r.error());
    return list_of(*r, section_to_py);
  });
}

const Signature kSection{"section", {{"kx_dir", kText}, {"section_hash", kText}}};
KX_WRAPPER(section) {
  return call(kSection, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::section(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    if (!*r) Py_RETURN_NONE;
    return section_to_py(**r);
  });
}

const Signature kAuthors{"authors", {{"kx_dir", kText}}};
KX_WRAPPER(authors) {
  return call(kAuthors, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::authors(a.text(0));
    if (!r) return raise_error(r.error());
    return list_of(*r, author_to_py);
  });
}

const Signature kAuthor{"author", {{"kx_dir", kText}, {"author_id", kText}}};
KX_WRAPPER(author) {
  return call(kAuthor, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::author(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    if (!*r) Py_RETURN_NONE;
    return author_to_py(**r);
  });
}

const Signature kWithdrawnSections{"withdrawn_sections",
                                   {{"kx_dir", kText}, {"section_hashes", kTextList}}};
KX_WRAPPER(withdrawn_sections) {
  return call(kWithdrawnSections, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::withdrawn_sections(a.text(0), a.list(1));
    if (!r) return raise_error(r.error());
    return list_of(*r, withdrawal_to_py);
  });
}

const Signature kPidFiles{"pid_files", {{"kx_dir", kText}, {"tokenizer", kText}}};
KX_WRAPPER(pid_files) {
  return call(kPidFiles, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::pid_files(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const store_view::PidFile& f) {
      return Py_BuildValue("{s:N,s:K}", "path", str_from(f.path), "entries",
                           static_cast<unsigned long long>(f.entries));
    });
  });
}

const Signature kTokenEntriesOf{
    "token_entries_of", {{"kx_dir", kText}, {"tokenizer", kText}, {"sections", kTextSet}}};
KX_WRAPPER(token_entries_of) {
  return call(kTokenEntriesOf, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::entries_of_sections(a.text(0), a.text(1), a.set(2));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const TokenIndexEntry& e) { return json_to_py(token_entry_to_json(e)); });
  });
}

const Signature kLineIndexState{"line_index_state", {{"kx_dir", kText}}};
KX_WRAPPER(line_index_state) {
  return call(kLineIndexState, args, kwargs, [](Args& a) {
    return str_from(store_view::freshness_name(store_view::line_index_freshness(a.text(0))));
  });
}

const Signature kTokenIndexState{"token_index_state", {{"kx_dir", kText}, {"tokenizer", kText}}};
KX_WRAPPER(token_index_state) {
  return call(kTokenIndexState, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::token_index_freshness(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    return str_from(store_view::freshness_name(*r));
  });
}

const Signature kLogEntries{"log_entries", {{"kx_dir", kText}}};
KX_WRAPPER(log_entries) {
  return call(kLogEntries, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::log_entries(a.text(0));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const store_view::LogEntry& e) {
      return Py_BuildValue("(NNN)", str_from(e.timestamp), str_from(e.operation),
                           str_from(e.detail));
    });
  });
}

const Signature kPurgeArchives{"purge_archives", {{"kx_dir", kText}, {"data_file", kOptText, true}}};
KX_WRAPPER(purge_archives) {
  return call(kPurgeArchives, args, kwargs, [](Args& a) -> PyObject* {
    const std::optional<std::string> of_file = a.opt_text(1);
    auto r = of_file ? store_view::purge_archives_of(a.text(0), *of_file)
                     : store_view::purge_archives(a.text(0));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const store_view::ArchiveInfo& info) {
      return Py_BuildValue("{s:N,s:N,s:N,s:O}", "name", str_from(info.name), "path",
                           str_from(info.path), "data_file", optional_str(info.data_file), "exact",
                           info.exact ? Py_True : Py_False);
    });
  });
}

const Signature kIsValidTokenizerName{"is_valid_tokenizer_name", {{"name", kText}}};
KX_WRAPPER(is_valid_tokenizer_name) {
  return call(kIsValidTokenizerName, args, kwargs,
              [](Args& a) { return PyBool_FromLong(is_valid_tokenizer_name(a.text(0))); });
}

const Signature kPurgeRevoked{
    "purge_revoked",
    {{"kx_dir", kText}, {"data_file", kText}, {"dry_run", kFlag}, {"progress", kOptCallable, true}}};
KX_WRAPPER(purge_revoked) {
  return call(kPurgeRevoked, args, kwargs, [](Args& a) {
    return run_released(
        a.callable(3), [&] { return purge_revoked(a.text(0), a.text(1), a.flag(2)); }, stats_to_py);
  });
}

const Signature kPurgeByAuthor{"purge_by_author",
                               {{"kx_dir", kText},
                                {"author_name", kText},
                                {"data_file", kText},
                                {"dry_run", kFlag},
                                {"progress", kOptCallable, true}}};
KX_WRAPPER(purge_by_author) {
  return call(kPurgeByAuthor, args, kwargs, [](Args& a) {
    if (a.flag(3)) {
      return run_released(
          a.callable(4), [&] { return preview_author_purge(a.text(0), a.text(1), a.text(2)); },
          preview_to_py);
    }
    return run_released(
        a.callable(4), [&] { return purge_by_author_exact(a.text(0), a.text(1), a.text(2)); },
        stats_to_py);
  });
}

const Signature kPurgeWithdrawn{
    "purge_withdrawn",
    {{"kx_dir", kText}, {"data_file", kText}, {"dry_run", kFlag}, {"progress", kOptCallable, true}}};
KX_WRAPPER(purge_withdrawn) {
  return call(kPurgeWithdrawn, args, kwargs, [](Args& a) {
    return run_released(
        a.callable(3), [&] { return purge_withdrawn(a.text(0), a.text(1), a.flag(2)); },
        stats_to_py);
  });
}

const Signature kUndoPurge{"undo_purge",
                           {{"kx_dir", kText},
                            {"data_file", kText},
                            {"by_position", kFlag, true},
                            {"archive", kOptText, true},
                            {"progress", kOptCallable, true}}};
KX_WRAPPER(undo_purge) {
  return call(kUndoPurge, args, kwargs, [](Args& a) {
    return run_released(
        a.callable(4),
        [&] { return undo_purge(a.text(0), a.text(1), a.flag(2), a.opt_text(3)); }, undo_to_py);
  });
}

// ---------------------------------------------------------------- Module ---

#define KX_FUNCTION(fn, sig) Function{&sig, w_##fn}

PyMethodDef* methods() {
  static PyMethodDef* const table = method_table({
      KX_FUNCTION(sections, kSections),
      KX_FUNCTION(section, kSection),
      KX_FUNCTION(authors, kAuthors),
      KX_FUNCTION(author, kAuthor),
      KX_FUNCTION(withdrawn_sections, kWithdrawnSections),
      KX_FUNCTION(pid_files, kPidFiles),
      KX_FUNCTION(token_entries_of, kTokenEntriesOf),
      KX_FUNCTION(line_index_state, kLineIndexState),
      KX_FUNCTION(token_index_state, kTokenIndexState),
      KX_FUNCTION(log_entries, kLogEntries),
      KX_FUNCTION(purge_archives, kPurgeArchives),
      KX_FUNCTION(is_valid_tokenizer_name, kIsValidTokenizerName),
      KX_FUNCTION(purge_revoked, kPurgeRevoked),
      KX_FUNCTION(purge_by_author, kPurgeByAuthor),
      KX_FUNCTION(purge_withdrawn, kPurgeWithdrawn),
      KX_FUNCTION(undo_purge, kUndoPurge),
  });
  return table;
}

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "kx._core",
                        "What the kx command needs to know about a store, from the core.", -1,
                        nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace kestrix

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
  using namespace kestrix;
  return create_module(g_module, methods(), "kx._core.InternalFault",
                       "A violated internal invariant of the core.");
}
