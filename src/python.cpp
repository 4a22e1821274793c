// The Python boundary of _kx_native: the module object and the table of its
// functions, each a row of signature and wrapper over the generic binder and
// conversions of py_binding.h.  No code below this file sees a PyObject;
// every operation is called with plain values while the interpreter lock is
// held.
#include "py_binding.h"

#include "authors.h"
#include "blame.h"
#include "clean.h"
#include "fs.h"
#include "generate_set.h"
#include "index.h"
#include "indexer.h"
#include "json.h"
#include "lib.h"
#include "merge.h"
#include "oplog.h"
#include "purge.h"
#include "register.h"
#include "revoke.h"
#include "show.h"
#include "storage.h"
#include "token_bin_index.h"
#include "token_index.h"
#include "track.h"

namespace kestrix {
namespace {

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
    return to_py(show_by_author_token(a.text(0), a.text(1), a.text(2)));
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

// The functions of the module, in the order dir() lists them; each
// docstring begins with the text signature made from the function's
// Signature, so that names and parameters are written once.
#define KX_FUNCTION(fn, sig, ...) \
  Function { &sig, w_##fn __VA_OPT__(, ) __VA_ARGS__ }

PyMethodDef* methods() {
  static PyMethodDef* const table = method_table({
      KX_FUNCTION(init, kInit),
      KX_FUNCTION(author_add, kAuthorAdd),
      KX_FUNCTION(author_query, kAuthorQuery),
      KX_FUNCTION(register_section, kRegisterSection),
      KX_FUNCTION(track, kTrack),
      KX_FUNCTION(index_document, kIndexDocument),
      KX_FUNCTION(lookup_document, kLookupDocument),
      KX_FUNCTION(read_all_documents, kReadAllDocuments),
      KX_FUNCTION(token_index_write_pid, kTokenWritePid),
      KX_FUNCTION(token_index_merge_pid_files, kTokenMerge),
      KX_FUNCTION(token_index_list_tokenizers, kTokenList),
      KX_FUNCTION(token_index_token_status, kTokenStatus),
      KX_FUNCTION(token_index_revoke_by_sources, kTokenRevoke),
      KX_FUNCTION(token_index_build_binary_index, kTokenBuildBin),
      KX_FUNCTION(blame, kBlame),
      KX_FUNCTION(blame_diff, kBlameDiff,
                  "Compute line-level diff opcodes for blame attribution.\n\n"
                  "Returns (tag, i1, i2, j1, j2) tuples compatible with\n"
                  "difflib.SequenceMatcher.get_opcodes()."),
      KX_FUNCTION(show_by_author, kShowByAuthor),
      KX_FUNCTION(show_by_author_token, kShowByAuthorToken),
      KX_FUNCTION(show_by_section, kShowBySection),
      KX_FUNCTION(show_by_license, kShowByLicense),
      KX_FUNCTION(revoke_by_author, kRevokeByAuthor),
      KX_FUNCTION(revoke_section, kRevokeSection),
      KX_FUNCTION(revoke_by_author_token, kRevokeByAuthorToken),
      KX_FUNCTION(purge_revoked, kPurgeRevoked),
      KX_FUNCTION(purge_by_author_indexd, kPurgeByAuthor),
      KX_FUNCTION(purge_reverse, kPurgeReverse),
      KX_FUNCTION(clean, kClean),
      KX_FUNCTION(merge_absorb, kMergeAbsorb),
      KX_FUNCTION(build_index, kBuildIndex),
      KX_FUNCTION(generate_forget_set, kGenerateForgetSet),
      KX_FUNCTION(write_forget_set, kWriteForgetSet),
      KX_FUNCTION(jsonl_read, kJsonlRead),
      KX_FUNCTION(jsonl_append, kJsonlAppend),
      KX_FUNCTION(shard_path_str, kShardPathStr),
      KX_FUNCTION(shard_read, kShardRead),
      KX_FUNCTION(shard_iterate_all, kShardIterateAll),
      KX_FUNCTION(oplog_append, kOplogAppend),
      KX_FUNCTION(compute_hash, kComputeHash),
  });
  return table;
}

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_kx_native", "", -1, nullptr,
                        nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace kestrix

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kx_native() {
  using namespace kestrix;
  return create_module(g_module, methods(), "kestrix.InternalFault",
                       "A violated internal invariant of the native module.");
}
