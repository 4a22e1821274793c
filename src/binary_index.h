// The binary line index <kx_dir>/.kx/index.bin: for a 32-byte key (an author
// id or a section hash) the shards of the `sections` or `document-index`
// layer that hold its records, and the token-index lines that list it.
//
// File format (all integers little-endian):
//   0   8  magic "KXIDXF02"
//   8   4  u32 entry count N
//   12  4  u32 reserved, 0
//   16  8  u64 table offset T
//   24  .. N entries in ascending key order: 32-byte key, u16 R, R bytes of
//          reference records (shard: 0x00, shard byte; token line: 0x01,
//          u8 L, L bytes tokenizer name, u16 file number, u32 offset,
//          u32 length)
//   T   2048  first-byte table: 256 u64 offsets of the first entry whose key
//          starts with that byte, 0 for none
//   T+2048 .. optional line-offset tables: u32 count M, M u32 line starts;
//          readers see the first one only.
// A key whose references exceed the 65535 bytes an entry can hold is written
// as several adjacent entries with the same key; lookup joins them.
//
// build() writes through a temporary file and a rename, so readers see the
// old index or the new one, never a partial file.  A BinaryIndex reads the
// file with pread(2) (never a mapping: a file truncated by another process
// cannot fault us) and loads a bucket of the table the first time a lookup
// needs it; lookups on one BinaryIndex may run from several threads at once.
// Every offset read from the file is checked against the file's size: a
// corrupt file gives an error, never a read outside it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "coding.h"
#include "error.h"

namespace kestrix {

// Names a shard of a layer by the value of its two hex characters.
struct ShardRef {
  uint8_t shard = 0;
  bool operator==(const ShardRef&) const = default;
};

// The position of one line of a merged token-index file.
struct TokenLineRef {
  std::string tokenizer;
  uint32_t offset = 0;
  uint32_t length = 0;  // without the line feed
  uint16_t file_number = 0;
  bool operator==(const TokenLineRef&) const = default;
};

using IndexRef = std::variant<ShardRef, TokenLineRef>;

struct IndexEntry {
  std::vector<IndexRef> refs;
  Digest hash{};
};

// The shard file name of a shard reference ("00" to "ff"); nullopt for a
// token-line reference.
std::optional<std::string> ref_shard_name(const IndexRef& ref);

// An opened index.bin.  Movable, not copyable; closes its file on
// destruction.
class BinaryIndex {
 public:
  struct State;
  explicit BinaryIndex(std::unique_ptr<State> state);
  BinaryIndex(BinaryIndex&&) noexcept;
  BinaryIndex& operator=(BinaryIndex&&) noexcept;
  ~BinaryIndex();

  uint32_t entry_count() const;
  uint64_t table_offset() const;
  uint64_t file_size() const;
  // Position and count of the first appended line-offset table; both 0 when
  // the file has none.
  uint64_t line_offsets_position() const;
  uint32_t line_offsets_count() const;
  // The values of the first line-offset table (empty when there is none).
  Result<std::vector<uint32_t>> line_offsets() const;

  const State& state() const { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

namespace binary_index {

// <kx_dir>/.kx/index.bin
std::string index_path(std::string_view kx_dir);

// Writes index.bin from the entries (sorted here, stably, by key) and checks
// the written file before it replaces the old one.  Input beyond the format
// (a tokenizer name over 255 bytes, 2^32 entries or more) is refused and the
// old file stays; a key with more than 65535 bytes of references is split.
Status build(const std::string& kx_dir, std::vector<IndexEntry> entries);

// A key with its reference records already encoded (see the file format);
// `records` may be of any length.  For builders that make many references.
struct EncodedEntry {
  Digest key{};
  std::string records;
};
// `tail` (line-offset tables, see line_offset_table) is written after the
// bucket table as part of the same file, so index.bin is replaced by a file
// that already holds its tables.
Status build_encoded(const std::string& kx_dir, std::vector<EncodedEntry> entries,
                     std::string_view tail = {});

// Appends the encoded form of one reference; fails for a tokenizer name
// over 255 bytes.
Status encode_ref(const IndexRef& ref, std::string& out);
// Appends a token-line record without building a TokenLineRef.
Status encode_token_line(std::string_view tokenizer, uint16_t file_number, uint32_t offset,
                         uint32_t length, std::string& out);

// Opens <kx_dir>/.kx/index.bin.  nullopt when the file does not exist;
// errors: "opening <path>", "binary index file too small: <n> bytes",
// "binary index format KXIDXF01 is no longer supported; run `kx index build`
// to rebuild", "binary index magic mismatch", and a corruption message when
// the table offset lies outside the file.
Result<std::optional<BinaryIndex>> open(const std::string& kx_dir);
// The same for an index file at any path.
Result<std::optional<BinaryIndex>> open_path(const std::string& path);

// The references of a key given as 64 hex digits (either case): empty when
// the key is absent or the text is not such a key.  An error only when the
// file is corrupt (an offset or entry size outside the file or its bucket).
Result<std::vector<IndexRef>> lookup(const BinaryIndex& index, std::string_view key_hex);
Result<std::vector<IndexRef>> lookup_key(const BinaryIndex& index, const Digest& key);

// Appends a line-offset table of `data_file` (the start of every line) to
// index.bin.  A missing or empty data file appends nothing.  A data file of
// 4 GiB or more is refused: its offsets do not fit the table.
Status append_line_offsets(const std::string& kx_dir, const std::string& data_file);
// The line-offset table of `data_file` as append_line_offsets appends it;
// empty for a missing or empty data file.
Result<std::string> line_offset_table(const std::string& data_file);

}  // namespace binary_index
}  // namespace kestrix
