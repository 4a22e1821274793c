// What a front end needs to know about a store, read by the rules that the
// writers of its files follow: sections and authors with their revocation
// state (a record of either counts as revoked when any of its repeated
// records carries the mark), the pid files still waiting for a merge, the
// freshness of the derived indexes, the operation log, and the purge
// archives with the data files they were taken from.  Every function only
// reads; a missing store, layer or file reads as empty.  Thread-safe.
#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "authors.h"
#include "error.h"
#include "json.h"
#include "token_index.h"

namespace kestrix::store_view {

// One section: its first stored record (a generic object, so that members
// the reader does not know survive) and whether any of its records carries
// "revoked": true.
struct SectionState {
  std::string section_hash;
  Value record;
  bool revoked = false;
};

// Every section once, in listing order of the shards, then line order.
Result<std::vector<SectionState>> sections(const std::string& kx_dir);

// The section with this hash, read from its shard only; nullopt when no
// record of it exists.
Result<std::optional<SectionState>> section(const std::string& kx_dir,
                                            const std::string& section_hash);

// Every author once (repeated registrations merged, revoked when any record
// is), in the order the authors query lists them.
Result<std::vector<Author>> authors(const std::string& kx_dir);

// The author with this id, read from its shard only.
Result<std::optional<Author>> author(const std::string& kx_dir, const std::string& id);

// Why a section's lines may no longer be used: the section itself is
// revoked, or some of its authors are (in the order the section lists them).
struct Withdrawal {
  std::string section_hash;
  std::string path;
  bool section_revoked = false;
  std::vector<Author> revoked_authors;
};

// The author ids a section lists, in its order (entries that are no
// strings left out).
std::vector<std::string> section_author_ids(const SectionState& section);

// The withdrawals among `section_hashes`, in their order, each hash once;
// sections that are unknown or in use are left out.
Result<std::vector<Withdrawal>> withdrawn_sections(const std::string& kx_dir,
                                                   const std::vector<std::string>& section_hashes);
// Every withdrawn section of the store, in the order of sections().
Result<std::vector<Withdrawal>> withdrawn_sections(const std::string& kx_dir);

// A pid file of a tokenizer and the number of token entries in it (lines
// that would take an entry id once merged).
struct PidFile {
  std::string path;
  uint64_t entries = 0;
};
Result<std::vector<PidFile>> pid_files(const std::string& kx_dir, const std::string& tokenizer);

// The entries of the merged files of `tokenizer` that list any of
// `sections`, in merged order.
Result<std::vector<TokenIndexEntry>> entries_of_sections(const std::string& kx_dir,
                                                         const std::string& tokenizer,
                                                         const std::set<std::string>& sections);

// The merged entries of a tokenizer and their tokens, split by the entries'
// revocation flag, and the active entries that list a withdrawn section
// (consent ended, but not yet revoked in the token index).
struct TokenTotals {
  uint64_t entries = 0;
  uint64_t active_entries = 0;
  uint64_t revoked_entries = 0;
  uint64_t active_tokens = 0;   // sums wrap modulo 2^64, as token_status's
  uint64_t revoked_tokens = 0;
  uint64_t withdrawn_active_entries = 0;
  uint64_t withdrawn_active_tokens = 0;
};
Result<TokenTotals> token_totals(const std::string& kx_dir, const std::string& tokenizer);

// The lines of one data file against the store, counted in one bulk blame
// pass (bulk_blame.h): every non-empty line, those with a document record
// (from any data file), and those among them drawn from a withdrawn section
// (a revoked one, or one with a revoked author).  A line is drawn from the
// sources of its records for this data file when it has any
// (recorded_file.h), else from those of all its records, as the purge
// decides.  Per section the lines
// drawn from it, and per author the lines drawn from any of the author's
// sections, each line counted once per section and author.
struct SectionLines {
  std::string section_hash;
  uint64_t lines = 0;
  bool withdrawn = false;
};
struct AuthorLines {
  std::string id;
  uint64_t lines = 0;
};
struct FileStatus {
  uint64_t lines = 0;
  uint64_t tracked = 0;
  uint64_t withdrawn = 0;
  std::vector<SectionLines> sections;  // sorted by hash
  std::vector<AuthorLines> authors;    // sorted by id
};
Result<FileStatus> file_status(const std::string& kx_dir, const std::string& data_file);

enum class Freshness { kMissing, kFresh, kStale };
std::string_view freshness_name(Freshness f);  // "missing", "fresh", "stale"

// index.bin against the document-index layer: stale when a shard was
// written after the index (lines tracked since the build).
Freshness line_index_freshness(const std::string& kx_dir);

// The binary token index of `tokenizer` against its merged files, by the
// test its readers apply before trusting it.
Result<Freshness> token_index_freshness(const std::string& kx_dir, const std::string& tokenizer);

// One entry of the operation log.  A physical line that does not begin with
// a timestamp continues the detail of the entry before it.
struct LogEntry {
  std::string timestamp;  // as written: <days>-HH:MM:SS
  std::string operation;
  std::string detail;
};

// Both generations of the log (log.1, then log), oldest first; names and
// details decoded as UTF-8 with invalid bytes replaced.
Result<std::vector<LogEntry>> log_entries(const std::string& kx_dir);

// A purge archive and the data file its lines came from: as its undo record
// tells it (purge_exact.h), or else as the log tells it, the first "purge"
// entry after the "purge_archive" entry that names the archive.  The archive
// itself does not record it.
struct ArchiveInfo {
  std::string name;  // purge.<stamp>[.<n>]
  std::string path;
  std::optional<std::string> data_file;
  bool exact = false;  // it has an undo record
};

// Every purge archive, newest first (the order in which purge_reverse
// restores them).
Result<std::vector<ArchiveInfo>> purge_archives(const std::string& kx_dir);

// The purge archives of `data_file`, newest first: those whose data file
// is the same file once both names are resolved.
Result<std::vector<ArchiveInfo>> purge_archives_of(const std::string& kx_dir,
                                                   const std::string& data_file);

}  // namespace kestrix::store_view
