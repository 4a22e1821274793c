// Housekeeping of a store: rotation of the operation log, folding of stray
// document-index pid files ("docidx.*") into the document-index layer,
// token-index pid-file merges with binary index rebuilds, archiving of
// revoked and orphaned records, the optional reset of split/, and the
// removal of temporary files that rewrites killed part-way left behind.
//
// Archive files are <kx_dir>/.kx/archive/<layer>.<hh>, JSON Lines with
// canonical (key-sorted) records; archiving copies, so every call appends all
// currently archivable records again.  Nothing here takes a lock: clean must
// not run while other processes write the same store.  Calling thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"

namespace kestrix {

struct CleanStats {
  uint64_t document_merged = 0;
  uint64_t pid_files_deleted = 0;
  uint64_t archived_records = 0;
  uint64_t log_rotated = 0;
  uint64_t token_index_merged = 0;
  uint64_t token_index_pid_deleted = 0;
};

// The log is rotated once it grows beyond this many bytes.
inline constexpr uint64_t kLogRotateBytes = 10 * 1024 * 1024;

Result<CleanStats> clean(const std::string& kx_dir, bool split);

// Appends every revoked or orphaned record of the document-index, sections
// and authors layers to <kx_dir>/.kx/archive/ (created when missing);
// returns the number of records appended.
Result<uint64_t> archive_revoked(const std::string& kx_dir);

// Appends the archivable records of one layer to archive_dir/<layer>.<hh>,
// hh being the first two bytes of the record's `key` member.  Records whose
// key cannot name a file there are skipped.
Result<uint64_t> archive_layer(const std::string& kx_dir, const std::string& archive_dir,
                               std::string_view layer, std::string_view key);

// True when `name` (a store directory entry, decoded) names a document-index
// pid file: it starts with "docidx." and is not a 9-byte name ending in two
// hex digits.
bool is_docidx_pid_name(std::string_view name);

}  // namespace kestrix
