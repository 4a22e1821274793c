// The binary token index "token-index.<tokenizer>.bin" of one tokenizer: a
// compact file, built from the merged token-index files, that finds entries
// by their 32-byte source hashes, locates each entry's line in the merged
// files and carries each entry's revoked flag as one byte.
//
// File format (little-endian, fields unaligned):
//   header, 64 bytes: "KXIDXTI01", u32 version (1), u32 entry_count E,
//     u32 source_count S, u32 entries_offset (64), u32 sources_offset
//     (64 + 16 E), u32 buckets_offset, 31 zero bytes;
//   E entry records of 16 bytes, record i for entry id i: u16 file_id,
//     u32 line_offset, u32 line_length, u8 revoked, 5 zero bytes;
//   S source records sorted by hash: 32-byte hash, u16 k, k u32 entry ids
//     (ascending).  A source named by more than 65535 entries is stored as
//     several consecutive records with the same hash;
//   256 u64 bucket values: offset of the first source record whose hash
//     begins with that byte, or 0.
//
// Entry ids are the merged order of read_merged(): the build numbers lines
// by the same rule.  The build writes the file through a temporary file and a
// rename, so readers see the old or the new index, never a partial one.
// A TokenBinIndex validates the layout when it opens a file and never reads
// or writes outside its mapping.  Not thread-safe per object; distinct
// objects may be used from different threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "coding.h"
#include "error.h"
#include "fs.h"

namespace kestrix {

// Byte positions of the format above, shared by the code that edits index
// files in place.
namespace token_bin_layout {
inline constexpr size_t kHeaderSize = 64;
inline constexpr size_t kEntryCountAt = 13;
inline constexpr size_t kEntriesOffsetAt = 21;
inline constexpr size_t kSourcesOffsetAt = 25;
inline constexpr size_t kBucketsOffsetAt = 29;
inline constexpr size_t kEntrySize = 16;
// Inside an entry record.
inline constexpr size_t kLineOffsetAt = 2;
inline constexpr size_t kLineLengthAt = 6;
inline constexpr size_t kRevokedAt = 10;
}  // namespace token_bin_layout

// The hashes of the sources that are 64-digit hex strings; others are left
// out.
std::set<Digest> source_hashes_of(const std::set<std::string>& sources);

// Where an entry's line lies in the merged files, and its revoked flag.
struct EntryRef {
  uint32_t line_offset = 0;
  uint32_t line_length = 0;  // without the line feed, with a trailing '\r'
  uint16_t file_id = 0;      // the merged-file number
  bool revoked = false;
};

class TokenBinIndex {
 public:
  // Opens "<kx_dir>/.kx/token-index.<tokenizer>.bin".  nullopt when the file
  // cannot be examined (missing); an error when it cannot be opened or is not
  // a well-formed index ("token binary index file too small: <n> bytes",
  // "token binary index magic mismatch", "unsupported token binary index
  // version: <v>", "token binary index is damaged: ...").
  static Result<std::optional<TokenBinIndex>> open(const std::string& kx_dir,
                                                   const std::string& tokenizer);
  // The same for an index file named directly.
  static Result<std::optional<TokenBinIndex>> open_path(const std::string& path);

  TokenBinIndex(TokenBinIndex&& other) noexcept = default;
  TokenBinIndex& operator=(TokenBinIndex&& other) noexcept = default;

  // False when any regular file of the merged directory is newer than the
  // index file (or the index file is gone); true when the merged directory
  // cannot be listed.  Pid files do not count.
  bool is_fresh() const;

  uint32_t entry_count() const { return entry_count_; }
  const std::string& path() const { return path_; }

  // nullopt for an id at or past entry_count.
  std::optional<EntryRef> get_entry_ref(uint32_t id) const;

  // The distinct ids of the entries that list any of the hashes, ascending.
  std::vector<uint32_t> lookup_by_sources(const std::set<Digest>& hashes) const;

  // Sets the revoked byte of each (id, flag) in order, through a writable
  // shared mapping of the file, then flushes it synchronously.  Ids at or
  // past entry_count are ignored; an empty list touches nothing.  Fails when
  // the file no longer has the layout it had when opened.
  Status set_revoked_batch(const std::vector<std::pair<uint32_t, bool>>& updates);

  // The forget set: bit i (LSB first) set when entry i's revoked byte is
  // non-zero; ceil(entry_count / 8) bytes.
  std::string generate_forget_set() const;

 private:
  TokenBinIndex() = default;
  std::string_view bytes() const { return map_.bytes(); }

  std::string path_;
  Mapping map_;
  uint64_t device_ = 0;  // identity of the mapped file, checked before writing
  uint64_t inode_ = 0;
  uint32_t entry_count_ = 0;
  uint32_t entries_offset_ = 0;
  uint32_t sources_offset_ = 0;
  uint32_t buckets_offset_ = 0;
};

namespace token_bin_index {

struct BuildStats {
  uint32_t entries = 0;
  uint32_t sources = 0;
};

// Builds the index of a tokenizer from its merged files and replaces the
// index file atomically.  Fails with "no merged token-index directory for
// tokenizer '<t>'" when the merged directory is missing, and refuses input
// the format cannot hold (merged-file numbers above 65535, merged files of
// 4 GiB or more, 2^32 or more entries, an index of 4 GiB or more), leaving
// the previous index in place.
Result<BuildStats> build_binary_index(const std::string& kx_dir, const std::string& tokenizer);

}  // namespace token_bin_index
}  // namespace kestrix
