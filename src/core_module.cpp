// The Python boundary of kx._core, the kx package's own view of a store:
// what the command line needs to know about a store (listings, revocation
// state, pending pid files, index freshness, token totals, the data files
// the records name, the log and the purge archives), computed by the core's
// own rules; the command's purges and their exact undo, with progress (the
// dry run of a purge by author counts the lines of the data file); the
// passes over whole data files (tracking, bulk blame, the status of a file),
// Parquet tables among them (table_binding.h); and the check and repair of a
// store.  Built on the binder of py_binding.h like _kx_native.  The long
// operations release the interpreter lock while they run; progress
// callbacks and blame's sink are called on the calling thread with the lock
// held again.
#include "py_binding.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <variant>

#include "check.h"
#include "bulk_blame.h"
#include "coding.h"
#include "data_file_lock.h"
#include "forget_map.h"
#include "indexer.h"
#include "merge.h"
#include "progress.h"
#include "purge.h"
#include "purge_exact.h"
#include "purge_rewrite.h"
#include "report.h"
#include "show.h"
#include "store_view.h"
#include "table_binding.h"
#include "token_index.h"
#include "oplog.h"
#include "pool.h"
#include "token_coverage.h"
#include "track_file.h"

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

PyObject* finding_to_py(const store_check::Finding& f) {
  PyObject* line = f.line > 0 ? PyLong_FromUnsignedLongLong(f.line) : Py_NewRef(Py_None);
  if (!line) return nullptr;
  return Py_BuildValue("{s:N,s:N,s:N,s:N}", "problem",
                       str_from(store_check::problem_name(f.problem)), "file", str_from(f.file),
                       "line", line, "detail", str_from(f.detail));
}

// {"files", "lines", "problems"} of a check.
PyObject* report_to_py(const store_check::Report& r) {
  PyObject* problems = list_of(r.findings, finding_to_py);
  if (!problems) return nullptr;
  return Py_BuildValue("{s:K,s:K,s:N}", "files", static_cast<unsigned long long>(r.files), "lines",
                       static_cast<unsigned long long>(r.lines), "problems", problems);
}

PyObject* check_to_py(const Result<store_check::Report>& r) {
  if (!r) return raise_error(r.error());
  return report_to_py(*r);
}

// What a repair found and did, then the check after it.
PyObject* repair_to_py(const Result<store_check::Repair>& r) {
  if (!r) return raise_error(r.error());
  PyObject* found = list_of(r->found.findings, finding_to_py);
  auto name = [](const std::string& s) { return str_from(s); };
  PyObject* rebuilt = found ? list_of(r->indexes_rebuilt, name) : nullptr;
  if (!rebuilt) {
    Py_XDECREF(found);
    return nullptr;
  }
  PyObject* done = Py_BuildValue(
      "{s:N,s:K,s:K,s:K,s:N}", "found", found, "moved_lines",
      static_cast<unsigned long long>(r->lines_moved), "rewritten_files",
      static_cast<unsigned long long>(r->files_rewritten), "removed_temps",
      static_cast<unsigned long long>(r->temps_removed), "rebuilt_indexes", rebuilt);
  PyObject* remaining = done ? report_to_py(r->remaining) : nullptr;
  const int merged = remaining ? PyDict_Update(done, remaining) : -1;
  Py_XDECREF(remaining);
  if (merged < 0) {
    Py_XDECREF(done);
    return nullptr;
  }
  return done;
}

PyObject* undo_to_py(const Result<UndoResult>& r) {
  if (!r) return raise_error(r.error());
  PyObject* archive = r->archive.empty() ? Py_NewRef(Py_None) : str_from(r->archive);
  return Py_BuildValue("{s:N,s:K,s:N}", "outcome", str_from(undo_outcome_name(r->outcome)),
                       "restored", static_cast<unsigned long long>(r->restored), "archive", archive);
}

// ------------------------------------------------------- Blame and status ---

// (file, sources) of a record of a line.
PyObject* tracked_as_to_py(const TrackedAs& r) {
  PyObject* sources = list_of(r.sources, [](const std::string& s) { return str_from(s); });
  if (!sources) return nullptr;
  return Py_BuildValue("(NN)", str_from(r.file), sources);
}

// (number, line hash or None, provenance index) of a line.
PyObject* blamed_line_to_py(const BlamedLine& line) {
  PyObject* hash = Py_None;
  if (line.text) {
    hash = PyUnicode_New(2 * line.hash.size(), 127);
    if (!hash) return nullptr;
    write_hex(line.hash.data(), line.hash.size(), reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(hash)));
  } else {
    Py_INCREF(hash);
  }
  return Py_BuildValue("(KNI)", static_cast<unsigned long long>(line.number), hash,
                       static_cast<unsigned>(line.provenance));
}

// The arguments of a blame_lines sink: (provenances, lines), each
// provenance a tuple of (file, sources) records shared by its lines.
PyObject* blame_batch_to_py(const BlameBatch& batch) {
  PyObject* records = list_of(batch.records, tracked_as_to_py);
  if (!records) return nullptr;
  PyObject* provenances = list_of(batch.provenances, [&](const std::vector<uint32_t>& ids) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(ids.size()));
    if (!tuple) return tuple;
    for (size_t i = 0; i < ids.size(); ++i) {
      PyObject* record = PyList_GET_ITEM(records, ids[i]);
      Py_INCREF(record);
      PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), record);
    }
    return tuple;
  });
  Py_DECREF(records);
  if (!provenances) return nullptr;
  PyObject* lines = list_of(batch.lines, blamed_line_to_py);
  if (!lines) {
    Py_DECREF(provenances);
    return nullptr;
  }
  return Py_BuildValue("(NN)", provenances, lines);
}

// Hands a batch to the Python sink; false with the Python error set when it
// fails.
bool call_sink(PyObject* sink, const BlameBatch& batch) {
  PyObject* sink_args = blame_batch_to_py(batch);
  PyObject* r = sink_args ? PyObject_CallObject(sink, sink_args) : nullptr;
  Py_XDECREF(sink_args);
  Py_XDECREF(r);
  return r != nullptr;
}

PyObject* file_status_to_py(const Result<store_view::FileStatus>& r) {
  if (!r) return raise_error(r.error());
  PyObject* sections = list_of(r->sections, [](const store_view::SectionLines& s) {
    return Py_BuildValue("{s:N,s:K,s:O}", "section_hash", str_from(s.section_hash), "lines",
                         static_cast<unsigned long long>(s.lines), "withdrawn",
                         s.withdrawn ? Py_True : Py_False);
  });
  if (!sections) return nullptr;
  PyObject* authors = list_of(r->authors, [](const store_view::AuthorLines& a) {
    return Py_BuildValue("{s:N,s:K}", "id", str_from(a.id), "lines",
                         static_cast<unsigned long long>(a.lines));
  });
  if (!authors) {
    Py_DECREF(sections);
    return nullptr;
  }
  PyObject* dict = counts_dict({{"lines", r->lines},
                                {"tracked", r->tracked},
                                {"untracked", r->lines - r->tracked},
                                {"withdrawn", r->withdrawn}});
  if (!dict || PyDict_SetItemString(dict, "sections", sections) < 0 ||
      PyDict_SetItemString(dict, "authors", authors) < 0) {
    Py_XDECREF(dict);
    dict = nullptr;
  }
  Py_DECREF(sections);
  Py_DECREF(authors);
  return dict;
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
  KX_ASSIGN_OR_RETURN(PurgeStats distinct, purge_by_author_exact(kx_dir, author_name, data_file, true));
  KX_ASSIGN_OR_RETURN(std::vector<std::string> hashes,
                      author_line_hashes_in_file(kx_dir, author_name, data_file));
  KX_ASSIGN_OR_RETURN(PurgeStats stats, purge_data_file(kx_dir, data_file, hashes, PurgeMode::kDryRun,
                                                        CompressedFiles{true, std::nullopt}));
  return AuthorPreview{stats, distinct.purged};
}

// Results handed from an operation's thread to the calling thread one at a
// time: put() waits while the previous item is still untaken, so the
// operation runs at most one item ahead of the calling thread.  In direct
// mode (no thread of its own could be had) put() passes the item on at once.
template <typename Item>
class Handoff {
 public:
  using Direct = std::function<bool(Item&)>;

  // The operation's side.  False once the calling thread stopped taking
  // items (a Python error): the operation should give up then.
  bool put(Item item) {
    if (direct_) return (*direct_)(item);
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return !item_ || stopped_; });
    if (stopped_) return false;
    item_.emplace(std::move(item));
    cv_.notify_all();
    return true;
  }
  void finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    cv_.notify_all();
  }

  // The calling thread's side: waits up to `timeout` for an item or the end
  // of the operation and takes the item, if one waits.  `done` tells
  // whether the operation has finished and left no item.
  std::optional<Item> take(std::chrono::milliseconds timeout, bool& done) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return item_ || finished_; });
    std::optional<Item> taken = std::exchange(item_, std::nullopt);
    if (taken) cv_.notify_all();
    done = finished_ && !taken;
    return taken;
  }
  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    item_.reset();
    cv_.notify_all();
  }
  void set_direct(Direct direct) { direct_.emplace(std::move(direct)); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<Item> item_;
  bool finished_ = false;
  bool stopped_ = false;
  std::optional<Direct> direct_;
};

// A Python error caught on the calling thread, raised again later.
class HeldError {
 public:
  ~HeldError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
  explicit operator bool() const { return type_ != nullptr; }
  void fetch() { PyErr_Fetch(&type_, &value_, &traceback_); }
  PyObject* restore() {
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                  std::exchange(traceback_, nullptr));
    return nullptr;
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Runs `op(handoff)` (a long operation) with the interpreter lock released
// and passes each item it puts into the handoff to consume(item), which
// runs with the lock held and returns false on a Python error.  With items,
// or with a callable `progress`, the operation runs on a thread of its own
// while this thread takes the items and calls progress(bytes_done) every
// kProgressInterval, after each item and once at the end.  The first
// Python error (Ctrl-C, say, or a consumer's failure) stops the calls and
// the items, and is raised once the operation has finished: an operation
// that puts items then ends early, while a purge under way is not stopped
// half-way.  The result is convert(op's result).
template <typename Item, typename Op, typename Consume, typename Convert>
PyObject* run_released(PyObject* progress, Op&& op, Consume&& consume, Convert&& convert) {
  Handoff<Item> handoff;
  std::atomic<uint64_t> done{0};
  std::optional<decltype(op(handoff))> result;
  std::exception_ptr thrown;
  auto run = [&] {
    try {
      ProgressScope scope(done);
      result.emplace(op(handoff));
    } catch (...) {
      thrown = std::current_exception();
    }
  };
  constexpr bool kItems = !std::is_same_v<Item, std::monostate>;
  if (progress == nullptr && !kItems) {
    Py_BEGIN_ALLOW_THREADS
    run();
    Py_END_ALLOW_THREADS
    if (thrown) std::rethrow_exception(thrown);
    return convert(*result);
  }

  HeldError error;
  auto report = [&] {
    if (error || progress == nullptr) return;
    PyObject* arg = PyLong_FromUnsignedLongLong(done.load(std::memory_order_relaxed));
    PyObject* r = arg ? PyObject_CallOneArg(progress, arg) : nullptr;
    Py_XDECREF(arg);
    Py_XDECREF(r);
    if (!r) error.fetch();
  };
  std::optional<std::thread> worker;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    worker.emplace([&] {
      run();
      handoff.finish();
    });
  } catch (const std::system_error&) {
    // No thread to spare: the operation runs here, holding the lock, and
    // its items go to the consumer as they come; no progress either.
    PyEval_RestoreThread(saved);
    handoff.set_direct([&](Item& item) { return !PyErr_Occurred() && consume(item); });
    run();
    saved = PyEval_SaveThread();
  }
  for (bool finished = !worker; !finished;) {
    std::optional<Item> item = handoff.take(kProgressInterval, finished);
    PyEval_RestoreThread(saved);
    if (item && !error && !consume(*item)) error.fetch();
    if (!error && PyErr_CheckSignals() < 0) error.fetch();  // Ctrl-C between items
    report();
    if (error) handoff.stop();
    saved = PyEval_SaveThread();
  }
  if (worker) worker->join();
  PyEval_RestoreThread(saved);
  if (thrown) std::rethrow_exception(thrown);
  if (error) return error.restore();
  if (PyErr_Occurred()) return nullptr;  // a consumer failed in direct mode
  return convert(*result);
}

// run_released for an operation without items (a purge): `op()`.
template <typename Op, typename Convert>
PyObject* run_released(PyObject* progress, Op&& op, Convert&& convert) {
  return run_released<std::monostate>(
      progress, [&](Handoff<std::monostate>&) { return op(); },
      [](std::monostate&) { return true; }, convert);
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

const Signature kWithdrawals{"withdrawals", {{"kx_dir", kText}}};
KX_WRAPPER(withdrawals) {
  return call(kWithdrawals, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::withdrawn_sections(a.text(0));
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

const Signature kShowBySectionToken{
    "show_by_section_token", {{"kx_dir", kText}, {"section_hash", kText}, {"tokenizer", kText}}};
KX_WRAPPER(show_by_section_token) {
  return call(kShowBySectionToken, args, kwargs, [](Args& a) {
    return to_py(show_by_section_token(a.text(0), a.text(1), a.text(2)));
  });
}

const Signature kShowByLicenseToken{
    "show_by_license_token", {{"kx_dir", kText}, {"license", kText}, {"tokenizer", kText}}};
KX_WRAPPER(show_by_license_token) {
  return call(kShowByLicenseToken, args, kwargs, [](Args& a) {
    return to_py(show_by_license_token(a.text(0), a.text(1), a.text(2)));
  });
}

const Signature kCheckStore{"check_store", {{"kx_dir", kText}}};
KX_WRAPPER(check_store) {
  return call(kCheckStore, args, kwargs, [](Args& a) {
    return run_released(nullptr, [&] { return store_check::check(a.text(0)); }, check_to_py);
  });
}

const Signature kRepairStore{"repair_store", {{"kx_dir", kText}}};
KX_WRAPPER(repair_store) {
  return call(kRepairStore, args, kwargs, [](Args& a) {
    return run_released(nullptr, [&] { return store_check::repair(a.text(0)); }, repair_to_py);
  });
}

PyObject* excess_to_py(const Result<store_check::ExcessRecords>& r) {
  if (!r) return raise_error(r.error());
  return counts_dict({{"lines", r->lines}, {"records", r->records}});
}

const Signature kExcessRecords{"excess_records", {{"kx_dir", kText}, {"data_file", kText}}};
KX_WRAPPER(excess_records) {
  return call(kExcessRecords, args, kwargs, [](Args& a) {
    return run_released(
        nullptr, [&] { return store_check::excess_records(a.text(0), a.text(1)); }, excess_to_py);
  });
}

const Signature kRemoveExcessRecords{"remove_excess_records", {{"kx_dir", kText}, {"data_file", kText}}};
KX_WRAPPER(remove_excess_records) {
  return call(kRemoveExcessRecords, args, kwargs, [](Args& a) {
    return run_released(
        nullptr, [&] { return store_check::remove_excess_records(a.text(0), a.text(1)); },
        excess_to_py);
  });
}

const Signature kRevokedDocuments{"revoked_documents", {{"kx_dir", kText}}};
KX_WRAPPER(revoked_documents) {
  return call(kRevokedDocuments, args, kwargs, [](Args& a) -> PyObject* {
    auto r = revoked_document_hashes(a.text(0));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const std::string& h) { return str_from(h); });
  });
}

const Signature kWithdrawnLines{"withdrawn_lines", {{"kx_dir", kText}, {"data_file", kText}}};
KX_WRAPPER(withdrawn_lines) {
  return call(kWithdrawnLines, args, kwargs, [](Args& a) {
    return run_released(
        nullptr, [&] { return withdrawn_line_hashes(a.text(0), a.text(1)); },
        [](const Result<std::vector<std::string>>& r) -> PyObject* {
          if (!r) return raise_error(r.error());
          return list_of(*r, [](const std::string& h) { return str_from(h); });
        });
  });
}

const Signature kDataFiles{"data_files", {{"kx_dir", kText}}};
KX_WRAPPER(data_files) {
  return call(kDataFiles, args, kwargs, [](Args& a) -> PyObject* {
    auto r = document_files(a.text(0));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const DataFileRecords& f) {
      return Py_BuildValue("{s:N,s:K}", "file", str_from(f.file), "records",
                           static_cast<unsigned long long>(f.records));
    });
  });
}

const Signature kFilesWithRecords{"files_with_records", {{"kx_dir", kText}, {"files", kTextList}}};
KX_WRAPPER(files_with_records) {
  return call(kFilesWithRecords, args, kwargs, [](Args& a) -> PyObject* {
    auto r = files_with_records(a.text(0), a.list(1));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const std::string& f) { return str_from(f); });
  });
}

const Signature kTokenTotals{"token_totals", {{"kx_dir", kText}, {"tokenizer", kText}}};
KX_WRAPPER(token_totals) {
  return call(kTokenTotals, args, kwargs, [](Args& a) -> PyObject* {
    auto r = store_view::token_totals(a.text(0), a.text(1));
    if (!r) return raise_error(r.error());
    return counts_dict({{"entries", r->entries},
                        {"active_entries", r->active_entries},
                        {"revoked_entries", r->revoked_entries},
                        {"active_tokens", r->active_tokens},
                        {"revoked_tokens", r->revoked_tokens},
                        {"withdrawn_active_entries", r->withdrawn_active_entries},
                        {"withdrawn_active_tokens", r->withdrawn_active_tokens}});
  });
}

const Signature kMergeStores{"merge_stores", {{"source", kText}, {"target", kText}}};
KX_WRAPPER(merge_stores) {
  return call(kMergeStores, args, kwargs, [](Args& a) -> PyObject* {
    auto r = absorb(a.text(0), a.text(1), AbsorbOptions{.carry_withdrawals = true});
    if (!r) return raise_error(r.error());
    return counts_dict({{"authors_added", r->authors_added},
                        {"sections_added", r->sections_added},
                        {"document_added", r->document_added},
                        {"token_index_added", r->token_index_added},
                        {"skipped", r->skipped},
                        {"matched_without_identity", r->matched_without_identity},
                        {"authors_revoked", r->authors_revoked},
                        {"sections_revoked", r->sections_revoked},
                        {"documents_revoked", r->documents_revoked},
                        {"token_entries_revoked", r->token_entries_revoked}});
  });
}

const Signature kMissingTokenEntries{"missing_token_entries", {{"kx_dir", kText}}};
KX_WRAPPER(missing_token_entries) {
  return call(kMissingTokenEntries, args, kwargs, [](Args& a) -> PyObject* {
    auto r = missing_token_entries(a.text(0));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](const MissingTokenEntries& m) -> PyObject* {
      return Py_BuildValue("{s:N,s:N,s:K,s:K}", "tokenizer", str_from(m.tokenizer), "file",
                           str_from(m.file), "records", static_cast<unsigned long long>(m.records),
                           "entries", static_cast<unsigned long long>(m.entries));
    });
  });
}

const Signature kForgetMapRuns{
    "forget_map_runs",
    {{"kx_dir", kText}, {"tokenizer", kText}, {"bitmask", kBytes}, {"run_dir", kText}}};
KX_WRAPPER(forget_map_runs) {
  return call(kForgetMapRuns, args, kwargs, [](Args& a) {
    return run_released(
        nullptr, [&] { return forget_map_runs(a.text(0), a.text(1), a.bytes(2), a.text(3)); },
        [](const Result<ForgetMapRuns>& found) -> PyObject* {
          if (!found) return raise_error(found.error());
          const ForgetMapRuns& r = *found;
          PyObject* runs = list_of(r.runs, [](const std::string& s) { return str_from(s); });
          PyObject* missing = runs ? list_of(r.missing_files, [](const std::string& s) { return str_from(s); }) : nullptr;
          if (!missing) {
            Py_XDECREF(runs);
            return nullptr;
          }
          return Py_BuildValue("{s:N,s:K,s:K,s:N}", "runs", runs, "mapped",
                               static_cast<unsigned long long>(r.mapped), "unmapped",
                               static_cast<unsigned long long>(r.unmapped), "missing_files", missing);
        });
  });
}

const Signature kBlameLines{"blame_lines",
                            {{"kx_dir", kText},
                             {"data_file", kText},
                             {"sink", kCallable},
                             {"progress", kOptCallable, true}}};
KX_WRAPPER(blame_lines) {
  return call(kBlameLines, args, kwargs, [](Args& a) {
    PyObject* sink = a.callable(2);
    uint64_t lines = 0;
    auto blame = [&](Handoff<BlameBatch>& handoff) -> Status {
      return blame_file(a.text(0), a.text(1), [&](BlameBatch&& batch) -> Status {
        lines += batch.lines.size();
        if (!handoff.put(std::move(batch))) return fail_msg("blame stopped by its caller");
        return {};
      });
    };
    return run_released<BlameBatch>(
        a.callable(3), blame, [&](BlameBatch& batch) { return call_sink(sink, batch); },
        [&](const Status& st) {
          return st ? PyLong_FromUnsignedLongLong(lines) : raise_error(st.error());
        });
  });
}

const Signature kFileStatus{"file_status",
                            {{"kx_dir", kText}, {"data_file", kText}, {"progress", kOptCallable, true}}};
KX_WRAPPER(file_status) {
  return call(kFileStatus, args, kwargs, [](Args& a) {
    return run_released(
        a.callable(2), [&] { return store_view::file_status(a.text(0), a.text(1)); },
        file_status_to_py);
  });
}

const Signature kIsValidTokenizerName{"is_valid_tokenizer_name", {{"name", kText}}};
KX_WRAPPER(is_valid_tokenizer_name) {
  return call(kIsValidTokenizerName, args, kwargs,
              [](Args& a) { return PyBool_FromLong(is_valid_tokenizer_name(a.text(0))); });
}

// The compression level argument of a purge or undo; levels beyond an int
// are refused by the compressor's own check all the same.
std::optional<int> level_arg(const Args& a, size_t i) {
  const std::optional<uint64_t> level = a.opt_count(i);
  if (!level) return std::nullopt;
  return static_cast<int>(std::min<uint64_t>(*level, 1000));
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
                                {"progress", kOptCallable, true},
                                {"level", kOptCount, true},
                                {"log_to", kOptText, true}}};
KX_WRAPPER(purge_by_author) {
  return call(kPurgeByAuthor, args, kwargs, [](Args& a) {
    if (a.flag(3)) {
      return run_released(
          a.callable(4), [&] { return preview_author_purge(a.text(0), a.text(1), a.text(2)); },
          preview_to_py);
    }
    const auto log_to = a.opt_text(6);
    return run_released(
        a.callable(4),
        [&] {
          std::optional<oplog::Redirect> redirect;
          if (log_to) redirect.emplace(*log_to);
          return purge_by_author_exact(a.text(0), a.text(1), a.text(2), false, level_arg(a, 5));
        },
        stats_to_py);
  });
}

// ------------------------------------------------------ Data file locks ---

// The locks held through lock_data_file, by handle.  Only the calling
// thread, holding the interpreter lock, touches the table.
std::map<uint64_t, DataFileLock>& held_locks() {
  static auto* held = new std::map<uint64_t, DataFileLock>;
  return *held;
}

const Signature kLockDataFile{"lock_data_file", {{"kx_dir", kText}, {"recorded_as", kText}}};
KX_WRAPPER(lock_data_file) {
  return call(kLockDataFile, args, kwargs, [](Args& a) {
    return run_released(
        nullptr, [&] { return DataFileLock::acquire(a.text(0), a.text(1)); },
        [](Result<DataFileLock>& r) -> PyObject* {
          if (!r) return raise_error(r.error());
          static uint64_t next = 0;
          const uint64_t handle = ++next;
          held_locks().emplace(handle, std::move(*r));
          return PyLong_FromUnsignedLongLong(handle);
        });
  });
}

const Signature kUnlockDataFile{"unlock_data_file", {{"handle", kCount}}};
KX_WRAPPER(unlock_data_file) {
  return call(kUnlockDataFile, args, kwargs, [](Args& a) -> PyObject* {
    auto held = held_locks().extract(a.count(0));
    if (held.empty()) {
      PyErr_SetString(PyExc_ValueError, "no data file lock is held with that handle");
      return nullptr;
    }
    if (Status st = held.mapped().finish(); !st) return raise_error(st.error());
    Py_RETURN_NONE;
  });
}

const Signature kDataFileGenerations{"data_file_generations",
                                     {{"kx_dir", kText}, {"recorded_as", kTextList}}};
KX_WRAPPER(data_file_generations) {
  return call(kDataFileGenerations, args, kwargs, [](Args& a) -> PyObject* {
    auto r = data_file_generations(a.text(0), a.list(1));
    if (!r) return raise_error(r.error());
    return list_of(*r, [](uint64_t g) { return PyLong_FromUnsignedLongLong(g); });
  });
}

// ------------------------------------------------------ Whole-file track ---

std::optional<TokenCounter> token_counter_named(std::string_view name) {
  if (name == "none") return TokenCounter::kNone;
  if (name == "whitespace") return TokenCounter::kWhitespace;
  if (name == "bytes") return TokenCounter::kBytes;
  if (name == "field") return TokenCounter::kField;
  return std::nullopt;
}

PyObject* tracked_to_py(const TrackedFile& t) {
  PyObject* dict = counts_dict(
      {{"lines", t.lines}, {"recorded", t.recorded}, {"skipped", t.skipped}, {"tokens", t.tokens},
       {"completed", t.completed}, {"without_identity", t.without_identity}});
  if (!dict) return nullptr;
  for (auto [key, hash] : {std::pair{"first_hash", &t.first_hash}, {"last_hash", &t.last_hash}}) {
    PyObject* value = str_from(*hash);
    if (!value || PyDict_SetItemString(dict, key, value) < 0) {
      Py_XDECREF(value);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(value);
  }
  return dict;
}

// The section hash resolve(ref, first_line) gives for each reference of
// the scan; nullopt with the Python error set when a call fails.
std::optional<std::vector<std::string>> resolve_references(PyObject* resolve,
                                                           const FileTracking& tracking) {
  std::vector<std::string> resolved;
  for (const SourceReference& r : tracking.references()) {
    if (resolve == nullptr) {
      PyErr_SetString(PyExc_TypeError, "source_field needs a resolve callable");
      return std::nullopt;
    }
    PyObject* result = PyObject_CallFunction(resolve, "NK", str_from(r.ref),
                                             static_cast<unsigned long long>(r.first_line));
    if (!result) return std::nullopt;
    Py_ssize_t size;
    const char* text = PyUnicode_Check(result) ? PyUnicode_AsUTF8AndSize(result, &size) : nullptr;
    if (!text) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "resolve must return a str");
      Py_DECREF(result);
      return std::nullopt;
    }
    resolved.emplace_back(text, static_cast<size_t>(size));
    Py_DECREF(result);
  }
  return resolved;
}

const Signature kTrackFile{"track_file",
                           {{"kx_dir", kText},
                            {"data_file", kText},
                            {"recorded_as", kText},
                            {"sources", kTextList},
                            {"source_field", kOptText, true},
                            {"tokenizer", kOptText, true},
                            {"counter", kOptText, true},
                            {"count_field", kOptText, true},
                            {"retrack", kFlag, true},
                            {"tokens_only", kFlag, true},
                            {"resolve", kOptCallable, true},
                            {"progress", kOptCallable, true},
                            {"known_in", kOptText, true},
                            {"records_file", kOptText, true},
                            {"unrecorded_at", kOptCount, true}}};
KX_WRAPPER(track_file) {
  return call(kTrackFile, args, kwargs, [](Args& a) -> PyObject* {
    TrackOptions options{a.text(0), a.text(1), a.text(2), a.list(3), a.opt_text(4), a.opt_text(5)};
    const auto counter = token_counter_named(a.opt_text(6).value_or("none"));
    if (!counter) {
      PyErr_SetString(PyExc_ValueError, "counter must be none, whitespace, bytes or field");
      return nullptr;
    }
    options.counter = options.tokenizer ? *counter : TokenCounter::kNone;
    options.count_field = a.opt_text(7).value_or("text");
    options.retrack = a.flag(8);
    options.tokens_only = a.flag(9);
    options.known_in = a.opt_text(12).value_or("");
    options.records_file = a.opt_text(13).value_or("");
    options.unrecorded_at = a.opt_count(14);
    if (options.tokens_only && options.counter == TokenCounter::kNone) {
      PyErr_SetString(PyExc_ValueError, "tokens_only needs a tokenizer and a counter");
      return nullptr;
    }
    std::optional<FileTracking> tracking;
    PyObject* scanned = run_released(
        a.callable(11), [&] { return FileTracking::scan(options); },
        [&](Result<FileTracking>& r) -> PyObject* {
          if (!r) return raise_error(r.error());
          tracking.emplace(std::move(*r));
          Py_RETURN_NONE;
        });
    if (!scanned) return nullptr;
    Py_DECREF(scanned);
    auto resolved = resolve_references(a.callable(10), *tracking);
    if (!resolved) return nullptr;
    return run_released(
        nullptr, [&] { return tracking->commit(*resolved); },
        [](const Result<TrackedFile>& r) -> PyObject* {
          if (!r) return raise_error(r.error());
          return tracked_to_py(*r);
        });
  });
}

const Signature kPurgeWithdrawn{
    "purge_withdrawn",
    {{"kx_dir", kText},
     {"data_file", kText},
     {"dry_run", kFlag},
     {"progress", kOptCallable, true},
     {"log_to", kOptText, true},
     {"level", kOptCount, true}}};
KX_WRAPPER(purge_withdrawn) {
  return call(kPurgeWithdrawn, args, kwargs, [](Args& a) {
    const auto log_to = a.opt_text(4);
    return run_released(
        a.callable(3),
        [&] {
          std::optional<oplog::Redirect> redirect;
          if (log_to) redirect.emplace(*log_to);
          return purge_withdrawn(a.text(0), a.text(1), a.flag(2), level_arg(a, 5));
        },
        stats_to_py);
  });
}

const Signature kUndoPurge{"undo_purge",
                           {{"kx_dir", kText},
                            {"data_file", kText},
                            {"by_position", kFlag, true},
                            {"archive", kOptText, true},
                            {"progress", kOptCallable, true},
                            {"level", kOptCount, true}}};
KX_WRAPPER(undo_purge) {
  return call(kUndoPurge, args, kwargs, [](Args& a) {
    return run_released(
        a.callable(4),
        [&] { return undo_purge(a.text(0), a.text(1), a.flag(2), a.opt_text(3), level_arg(a, 5)); },
        undo_to_py);
  });
}

// ---------------------------------------------------------------- Report ---

// [(key, total, withdrawn)] of a report's tally.
PyObject* counts_to_py(const std::vector<report::Count>& counts) {
  return list_of(counts, [](const report::Count& c) {
    return Py_BuildValue("(NKK)", str_from(c.key), static_cast<unsigned long long>(c.total),
                         static_cast<unsigned long long>(c.withdrawn));
  });
}

PyObject* file_tally_to_py(const report::FileTally& f) {
  PyObject* sections = counts_to_py(f.sections);
  if (!sections) return nullptr;
  return Py_BuildValue("{s:N,s:K,s:K,s:N}", "file", str_from(f.file), "records",
                       static_cast<unsigned long long>(f.records), "withdrawn",
                       static_cast<unsigned long long>(f.withdrawn), "sections", sections);
}

PyObject* token_tally_to_py(const report::TokenTally& t) {
  PyObject* dict = counts_dict({{"active_entries", t.active_entries},
                                {"revoked_entries", t.revoked_entries},
                                {"active_tokens", t.active_tokens},
                                {"revoked_tokens", t.revoked_tokens},
                                {"active_withdrawn_tokens", t.active_withdrawn_tokens}});
  for (auto [key, counts] : {std::pair{"sections", &t.sections}, {"licenses", &t.licenses},
                             {"authors", &t.authors}}) {
    PyObject* list = dict ? counts_to_py(*counts) : nullptr;
    if (!list || PyDict_SetItemString(dict, key, list) < 0) {
      Py_XDECREF(list);
      Py_XDECREF(dict);
      return nullptr;
    }
    Py_DECREF(list);
  }
  PyObject* name = str_from(t.tokenizer);
  if (!name || PyDict_SetItemString(dict, "tokenizer", name) < 0) {
    Py_XDECREF(name);
    Py_DECREF(dict);
    return nullptr;
  }
  Py_DECREF(name);
  return dict;
}

PyObject* aggregates_to_py(const Result<report::Aggregates>& r) {
  if (!r) return raise_error(r.error());
  return Py_BuildValue("{s:N,s:N,s:N,s:N}", "files", list_of(r->files, file_tally_to_py), "licenses",
                       counts_to_py(r->licenses), "authors", counts_to_py(r->authors), "tokenizers",
                       list_of(r->tokenizers, token_tally_to_py));
}

// A text set argument that may be left out.
std::optional<std::set<std::string>> opt_set(Args& a, size_t i) {
  if (auto* given = std::get_if<std::set<std::string>>(&a[i])) return *given;
  return std::nullopt;
}

const Signature kReportAggregates{"report_aggregates",
                                  {{"kx_dir", kText},
                                   {"files", kTextSet, true},
                                   {"licenses", kTextSet, true},
                                   {"author_ids", kTextSet, true}}};
KX_WRAPPER(report_aggregates) {
  return call(kReportAggregates, args, kwargs, [](Args& a) {
    const report::Filter filter{opt_set(a, 1), opt_set(a, 2), opt_set(a, 3)};
    return run_released(nullptr, [&] { return report::aggregates(a.text(0), filter); },
                        aggregates_to_py);
  });
}

// --------------------------------------------------------------- Threads ---

const Signature kSetThreads{"set_threads", {{"threads", kCount}}};
KX_WRAPPER(set_threads) {
  return call(kSetThreads, args, kwargs, [](Args& a) {
    return PyLong_FromSize_t(hold_threads(a.count(0)));
  });
}

// ----------------------------------------------------------------- Build ---

// What this build was made with: the compiler, the build type and the
// library behind each codec (`kx --version` shows them).
const Signature kBuildInfo{"build_info", {}};
KX_WRAPPER(build_info) {
  return call(kBuildInfo, args, kwargs, [](Args&) -> PyObject* {
    std::vector<std::pair<std::string, std::string>> parts{
        {"compiler", "g++ " __VERSION__}, {"build_type", KX_BUILD_TYPE}};
    for (auto& part : codec_libraries()) parts.push_back(std::move(part));
    PyObject* info = PyDict_New();
    if (info == nullptr) return nullptr;
    for (const auto& [key, value] : parts) {
      PyObject* text = PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
      if (text == nullptr || PyDict_SetItemString(info, key.c_str(), text) < 0) {
        Py_XDECREF(text);
        Py_DECREF(info);
        return nullptr;
      }
      Py_DECREF(text);
    }
    return info;
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
      KX_FUNCTION(withdrawals, kWithdrawals),
      KX_FUNCTION(pid_files, kPidFiles),
      KX_FUNCTION(token_entries_of, kTokenEntriesOf),
      KX_FUNCTION(line_index_state, kLineIndexState),
      KX_FUNCTION(token_index_state, kTokenIndexState),
      KX_FUNCTION(log_entries, kLogEntries),
      KX_FUNCTION(purge_archives, kPurgeArchives),
      KX_FUNCTION(show_by_section_token, kShowBySectionToken),
      KX_FUNCTION(show_by_license_token, kShowByLicenseToken),
      KX_FUNCTION(check_store, kCheckStore),
      KX_FUNCTION(repair_store, kRepairStore),
      KX_FUNCTION(excess_records, kExcessRecords),
      KX_FUNCTION(revoked_documents, kRevokedDocuments),
      KX_FUNCTION(withdrawn_lines, kWithdrawnLines),
      KX_FUNCTION(remove_excess_records, kRemoveExcessRecords),
      KX_FUNCTION(data_files, kDataFiles),
      KX_FUNCTION(files_with_records, kFilesWithRecords),
      KX_FUNCTION(token_totals, kTokenTotals),
      KX_FUNCTION(merge_stores, kMergeStores),
      KX_FUNCTION(forget_map_runs, kForgetMapRuns),
      KX_FUNCTION(missing_token_entries, kMissingTokenEntries),
      KX_FUNCTION(blame_lines, kBlameLines),
      KX_FUNCTION(file_status, kFileStatus),
      KX_FUNCTION(is_valid_tokenizer_name, kIsValidTokenizerName),
      KX_FUNCTION(purge_revoked, kPurgeRevoked),
      KX_FUNCTION(purge_by_author, kPurgeByAuthor),
      KX_FUNCTION(track_file, kTrackFile),
      KX_FUNCTION(lock_data_file, kLockDataFile),
      KX_FUNCTION(unlock_data_file, kUnlockDataFile),
      KX_FUNCTION(data_file_generations, kDataFileGenerations),
      KX_FUNCTION(purge_withdrawn, kPurgeWithdrawn),
      KX_FUNCTION(undo_purge, kUndoPurge),
      KX_FUNCTION(report_aggregates, kReportAggregates),
      KX_FUNCTION(set_threads, kSetThreads),
      KX_FUNCTION(build_info, kBuildInfo),
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
  register_parquet_provider();
  return create_module(g_module, methods(), "kx._core.InternalFault",
                       "A violated internal invariant of the core.");
}
