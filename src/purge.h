// Purges: removal of revoked lines from a data file with an undo archive,
// and the reversal of the newest purge (archive format and naming in
// purge_archive.h, the block-wise rewrite in purge_rewrite.h, the exact undo
// of the command's purges in purge_exact.h).  Each purge
// appends "purge" to the operation log after the data file was replaced;
// a dry run writes and logs nothing.  Operations run on the calling thread
// and use the worker pool for classification.  A writer that appends to the
// data file or puts a new version in its place while a purge runs loses
// nothing: the purge reads the file again, or carries appended bytes over,
// or gives up naming the file (purge_rewrite.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.h"

namespace kestrix {

struct PurgeStats {
  uint64_t purged = 0;
  uint64_t kept = 0;
  uint64_t archived = 0;
};

Result<PurgeStats> purge_revoked(const std::string& kx_dir, const std::string& data_file,
                                 bool dry_run);
Result<PurgeStats> purge_by_author_indexed(const std::string& kx_dir,
                                           const std::string& author_name,
                                           const std::string& data_file, bool dry_run);
Result<uint64_t> purge_reverse(const std::string& kx_dir, const std::string& data_file);

// The command's purges.  They remove the same lines as those above but keep
// every other byte of the data file, and leave an undo record beside the
// archive for an exact undo (purge_exact.h); they log as those above do.
// purge_withdrawn removes every line whose consent is withdrawn in the data
// file (withdrawn_line_hashes): that of purge_revoked and of the sections
// listing an author marked revoked, judged by the file's own records.
// Its dry run classifies the data file as the purge would.  `level` is the
// compression level of a gzip or zstd data file's rewrite.
Result<PurgeStats> purge_withdrawn(const std::string& kx_dir, const std::string& data_file,
                                   bool dry_run, std::optional<int> level = std::nullopt);
// purge_by_author_exact is purge_by_author_indexed keeping every byte; its
// dry run, like the indexed one's, counts the author's distinct lines.
Result<PurgeStats> purge_by_author_exact(const std::string& kx_dir, const std::string& author_name,
                                         const std::string& data_file, bool dry_run,
                                         std::optional<int> level = std::nullopt);

// The line hashes purge_withdrawn removes from `data_file`, decided by the
// file's own records: a line is withdrawn in the file when one of its
// records for the file lists a withdrawn section (a revoked one, or one of
// a revoked author); a line with no record for the file falls back on its
// content, withdrawn when a record of any file is.  Lines of the
// revoked-documents file are withdrawn everywhere.  Repeats possible.
Result<std::vector<std::string>> withdrawn_line_hashes(const std::string& kx_dir,
                                                       const std::string& data_file);
// The line hashes purge_by_author_exact removes from `data_file`: those of
// resolve_author_line_hashes, decided by the file's own records as above.
Result<std::vector<std::string>> author_line_hashes_in_file(const std::string& kx_dir,
                                                            const std::string& author_name,
                                                            const std::string& data_file);

// The line hashes of the revoked-documents file (document-index/revoked/all):
// lines withdrawn wherever they stand.  Empty without the file.
Result<std::vector<std::string>> revoked_document_hashes(const std::string& kx_dir);

// The line hashes (repeats possible) of the document records listing a
// section whose `authors` hold an id of an author named `author_name`, found
// through index.bin: only the shards it names are read.  Fails with "binary
// index not found, run `kx index build` first" without an index.
Result<std::vector<std::string>> resolve_author_line_hashes(const std::string& kx_dir,
                                                            const std::string& author_name);

}  // namespace kestrix
