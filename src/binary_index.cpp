// Writer and reader of index.bin (format in binary_index.h).
#include "binary_index.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <span>

#include "coding.h"
#include "fs.h"
#include "hash.h"
#include "lib.h"
#include "mmap_lines.h"

namespace kestrix {
namespace {

constexpr char kMagic[] = "KXIDXF02";
constexpr char kRetiredMagic[] = "KXIDXF01";
constexpr uint64_t kHeaderSize = 24;
constexpr uint64_t kTableSize = 256 * 8;
constexpr uint64_t kEntryHead = 34;  // key and u16 R
constexpr size_t kMaxRecordBytes = 65535;
constexpr uint64_t kU32Limit = uint64_t{1} << 32;

// The first eight key bytes as a big-endian number: orders like the key.
uint64_t key_prefix(const uint8_t* key) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | key[i];
  return v;
}

Error corrupt(const std::string& what) { return Error::msg("binary index is corrupt: " + what); }

// Reads exactly `n` bytes at `offset`; a short read means the file shrank.
Status pread_exact(int fd, uint64_t offset, size_t n, void* out) {
  KX_ASSIGN_OR_RETURN(size_t got, read_at(fd, static_cast<char*>(out), n, offset));
  if (got < n) return fail(corrupt("the file ends before offset " + std::to_string(offset + n)));
  return {};
}

// The size of the record starting at `p` (tag byte included), or 0 when the
// bytes do not hold a complete record.
size_t record_size(const uint8_t* p, size_t avail) {
  if (avail < 2) return 0;
  if (p[0] == 0) return 2;
  if (p[0] != 1) return 0;
  size_t size = size_t{p[1]} + 12;
  return size <= avail ? size : 0;
}

// Decodes reference records; stops at the first record that is malformed or
// incomplete and keeps what came before it.
void decode_records(const uint8_t* p, size_t r, std::vector<IndexRef>& out) {
  size_t pos = 0;
  while (pos < r) {
    size_t size = record_size(p + pos, r - pos);
    if (size == 0) return;
    const uint8_t* rec = p + pos;
    if (rec[0] == 0) {
      out.emplace_back(ShardRef{rec[1]});
    } else {
      size_t len = rec[1];
      const uint8_t* tail = rec + 2 + len;
      TokenLineRef ref;
      ref.tokenizer = utf8_lossy(std::string_view(reinterpret_cast<const char*>(rec + 2), len));
      ref.file_number = decode_fixed16(tail);
      ref.offset = decode_fixed32(tail + 2);
      ref.length = decode_fixed32(tail + 6);
      out.emplace_back(std::move(ref));
    }
    pos += size;
  }
}

// Splits records longer than one entry can hold at record boundaries.
// Records come from our own encoders, so every record is complete.
std::vector<std::string> split_records(const std::string& records) {
  std::vector<std::string> parts;
  const auto* p = reinterpret_cast<const uint8_t*>(records.data());
  size_t start = 0;
  size_t pos = 0;
  while (pos < records.size()) {
    size_t size = record_size(p + pos, records.size() - pos);
    if (size == 0) size = records.size() - pos;  // unreachable for encoded input
    if (pos + size - start > kMaxRecordBytes) {
      parts.push_back(records.substr(start, pos - start));
      start = pos;
    }
    pos += size;
  }
  parts.push_back(records.substr(start));
  return parts;
}

}  // namespace

// One bucket of the first-byte table, loaded by the first lookup that needs
// it: the bucket's bytes and the start of each entry in them, both kept in
// the index's regions at places fixed by the bucket's position in the file.
struct Bucket {
  std::string_view bytes;
  // Each entry's key_prefix and its start in `bytes`, side by side so a
  // search touches one array.
  struct Slot {
    uint64_t prefix;
    uint64_t start;
  };
  std::span<const Slot> slots;
  // When sorted: the entries whose second key byte is c are those from
  // by_second[c] up to by_second[c + 1], so a search looks at a handful.
  std::vector<uint32_t> by_second;
  bool sorted = true;
  std::optional<Error> error;
};

struct BinaryIndex::State {
  std::string path;
  UniqueFd fd;
  uint64_t size = 0;
  uint32_t count = 0;
  uint64_t table_offset = 0;
  std::array<uint64_t, 256> table{};
  uint64_t line_offsets_pos = 0;
  uint32_t line_offsets_count = 0;
  mutable std::array<std::once_flag, 256> loaded;
  mutable std::array<Bucket, 256> buckets;
  // The entries' bytes at their file offsets less the header, and the slots
  // of the entries at (offset - header) / kEntryHead: an entry takes at
  // least kEntryHead bytes, so the buckets' slots never overlap.  Huge
  // pages spare a lookup in a large index its page-table walks.
  HugeBuffer entry_bytes;
  HugeBuffer entry_slots;

  const Bucket& bucket(uint8_t b) const {
    std::call_once(loaded[b], [&] { load_bucket(b); });
    return buckets[b];
  }

 private:
  void load_bucket(uint8_t b) const;
};

void BinaryIndex::State::load_bucket(uint8_t b) const {
  Bucket& bucket = buckets[b];
  uint64_t start = table[b];
  uint64_t end = table_offset;
  for (int next = b + 1; next < 256; ++next) {
    if (table[next] != 0) {
      end = table[next];
      break;
    }
  }
  if (start < kHeaderSize || start > end || end > table_offset) {
    bucket.error = corrupt("the table slot of byte " + std::to_string(b) +
                           " points outside the entries");
    return;
  }
  char* bytes = entry_bytes.data() + (start - kHeaderSize);
  if (auto st = pread_exact(fd.get(), start, end - start, bytes); !st) {
    bucket.error = std::move(st).error().context("reading " + path);
    return;
  }
  bucket.bytes = std::string_view(bytes, end - start);
  const auto* p = reinterpret_cast<const uint8_t*>(bytes);
  const size_t len = end - start;
  std::vector<Bucket::Slot> slots;
  size_t pos = 0;
  while (len - pos >= kEntryHead) {
    size_t size = kEntryHead + decode_fixed16(p + pos + 32);
    if (size > len - pos) {
      bucket.error = corrupt("the entry at offset " + std::to_string(start + pos) +
                             " runs past the end of its bucket");
      return;
    }
    if (p[pos] != b || (!slots.empty() && std::memcmp(p + slots.back().start, p + pos, 32) > 0))
      bucket.sorted = false;
    slots.push_back({key_prefix(p + pos), pos});
    pos += size;
  }
  auto* placed = reinterpret_cast<Bucket::Slot*>(
      entry_slots.data() + (start - kHeaderSize) / kEntryHead * sizeof(Bucket::Slot));
  std::copy(slots.begin(), slots.end(), placed);
  bucket.slots = std::span<const Bucket::Slot>(placed, slots.size());
  if (bucket.sorted && bucket.slots.size() < kU32Limit) {
    bucket.by_second.assign(257, 0);
    size_t i = 0;
    for (unsigned c = 0; c <= 256; ++c) {
      while (i < bucket.slots.size() && ((bucket.slots[i].prefix >> 48) & 0xff) < c) ++i;
      bucket.by_second[c] = static_cast<uint32_t>(i);
    }
  } else {
    bucket.sorted = false;
  }
}

BinaryIndex::BinaryIndex(std::unique_ptr<State> state) : state_(std::move(state)) {}
BinaryIndex::BinaryIndex(BinaryIndex&&) noexcept = default;
BinaryIndex& BinaryIndex::operator=(BinaryIndex&&) noexcept = default;
BinaryIndex::~BinaryIndex() = default;

uint32_t BinaryIndex::entry_count() const { return state_->count; }
uint64_t BinaryIndex::table_offset() const { return state_->table_offset; }
uint64_t BinaryIndex::file_size() const { return state_->size; }
uint64_t BinaryIndex::line_offsets_position() const { return state_->line_offsets_pos; }
uint32_t BinaryIndex::line_offsets_count() const { return state_->line_offsets_count; }

Result<std::vector<uint32_t>> BinaryIndex::line_offsets() const {
  const State& s = *state_;
  std::vector<uint32_t> values;
  if (s.line_offsets_count == 0) return values;
  uint64_t bytes = uint64_t{s.line_offsets_count} * 4;
  if (bytes > s.size - s.line_offsets_pos)
    return fail(corrupt("the line-offset table runs past the end of the file"));
  std::string raw(bytes, '\0');
  if (auto st = pread_exact(s.fd.get(), s.line_offsets_pos, raw.size(), raw.data()); !st)
    return fail(std::move(st).error().context("reading " + s.path));
  values.reserve(s.line_offsets_count);
  for (size_t i = 0; i < raw.size(); i += 4)
    values.push_back(decode_fixed32(reinterpret_cast<const uint8_t*>(raw.data()) + i));
  return values;
}

std::optional<std::string> ref_shard_name(const IndexRef& ref) {
  const auto* shard = std::get_if<ShardRef>(&ref);
  if (!shard) return std::nullopt;
  return bytes_to_hex(&shard->shard, 1);
}

namespace binary_index {

std::string index_path(std::string_view kx_dir) { return store_path(kx_dir, "index.bin"); }

Status encode_token_line(std::string_view tokenizer, uint16_t file_number, uint32_t offset,
                         uint32_t length, std::string& out) {
  if (tokenizer.size() > 255)
    return fail_msg("tokenizer name of " + std::to_string(tokenizer.size()) +
                    " bytes exceeds the 255-byte limit of index.bin");
  const size_t at = out.size();
  out.resize(at + tokenizer.size() + 12);
  auto* p = reinterpret_cast<uint8_t*>(out.data() + at);
  p[0] = 1;
  p[1] = static_cast<uint8_t>(tokenizer.size());
  std::memcpy(p + 2, tokenizer.data(), tokenizer.size());
  p += 2 + tokenizer.size();
  p[0] = static_cast<uint8_t>(file_number);
  p[1] = static_cast<uint8_t>(file_number >> 8);
  for (int i = 0; i < 4; ++i) {
    p[2 + i] = static_cast<uint8_t>(offset >> (8 * i));
    p[6 + i] = static_cast<uint8_t>(length >> (8 * i));
  }
  return {};
}

Status encode_ref(const IndexRef& ref, std::string& out) {
  if (const auto* shard = std::get_if<ShardRef>(&ref)) {
    out.push_back('\x00');
    out.push_back(static_cast<char>(shard->shard));
    return {};
  }
  const auto& line = std::get<TokenLineRef>(ref);
  return encode_token_line(line.tokenizer, line.file_number, line.offset, line.length, out);
}

Status build(const std::string& kx_dir, std::vector<IndexEntry> entries) {
  std::vector<EncodedEntry> encoded(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    encoded[i].key = entries[i].hash;
    for (const IndexRef& ref : entries[i].refs) KX_TRY(encode_ref(ref, encoded[i].records));
  }
  return build_encoded(kx_dir, std::move(encoded));
}

namespace {

// Entries whose records exceed one entry's limit become adjacent entries
// with the same key.
std::vector<EncodedEntry> split_oversized(std::vector<EncodedEntry> entries) {
  bool any = std::any_of(entries.begin(), entries.end(),
                         [](const EncodedEntry& e) { return e.records.size() > kMaxRecordBytes; });
  if (!any) return entries;
  std::vector<EncodedEntry> out;
  out.reserve(entries.size());
  for (EncodedEntry& e : entries) {
    if (e.records.size() <= kMaxRecordBytes) {
      out.push_back(std::move(e));
      continue;
    }
    for (std::string& part : split_records(e.records)) out.push_back({e.key, std::move(part)});
  }
  return out;
}

Status write_index(const std::string& kx_dir, const std::string& path,
                   const std::vector<EncodedEntry>& entries, std::string_view tail) {
  std::array<uint64_t, 256> table{};
  uint64_t offset = kHeaderSize;
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t first = entries[i].key[0];
    if (i == 0 || entries[i - 1].key[0] != first) table[first] = offset;
    offset += kEntryHead + entries[i].records.size();
  }
  const uint64_t table_offset = offset;

  auto file = AtomicFile::begin(path, store_dir(kx_dir));
  if (!file) return fail(std::move(file).error().context("creating " + path));
  std::string buf;
  buf.append(kMagic, 8);
  put_fixed32(buf, static_cast<uint32_t>(entries.size()));
  put_fixed32(buf, 0);
  put_fixed64(buf, table_offset);
  for (const EncodedEntry& e : entries) {
    buf.append(reinterpret_cast<const char*>(e.key.data()), e.key.size());
    put_fixed16(buf, static_cast<uint16_t>(e.records.size()));
    buf.append(e.records);
    if (buf.size() >= (1u << 20)) {
      KX_TRY(file->write(buf));
      buf.clear();
    }
  }
  for (uint64_t slot : table) put_fixed64(buf, slot);
  KX_TRY(file->write(buf));
  KX_TRY(file->write(tail));
  return file->commit();
}

Status verify(const std::string& path, size_t expected) {
  KX_ASSIGN_OR_RETURN(auto index, open_path(path));
  if (!index) return fail_msg("failed to re-open binary index for verification");
  if (index->entry_count() != expected)
    return fail_msg("verification failed: expected " + std::to_string(expected) +
                    " entries, stored " + std::to_string(index->entry_count()));
  return {};
}

}  // namespace

Status build_encoded(const std::string& kx_dir, std::vector<EncodedEntry> entries,
                     std::string_view tail) {
  entries = split_oversized(std::move(entries));
  if (entries.size() >= kU32Limit)
    return fail_msg("index.bin holds fewer than 2^32 entries; " + std::to_string(entries.size()) +
                    " were given");
  std::stable_sort(entries.begin(), entries.end(),
                   [](const EncodedEntry& a, const EncodedEntry& b) { return a.key < b.key; });
  const std::string path = index_path(kx_dir);
  KX_TRY(write_index(kx_dir, path, entries, tail));
  return verify(path, entries.size());
}

Result<std::optional<BinaryIndex>> open(const std::string& kx_dir) {
  return open_path(index_path(kx_dir));
}

Result<std::optional<BinaryIndex>> open_path(const std::string& path) {
  if (!stat_path(path)) return std::optional<BinaryIndex>();
  auto state = std::make_unique<BinaryIndex::State>();
  state->path = path;
  state->fd.reset(open_retry(path.c_str(), O_RDONLY));
  if (state->fd.get() < 0) return fail(Error::os(errno).about(path).context("opening " + path));
  auto info = stat_fd(state->fd.get());
  if (!info) return fail(std::move(info).error().context("opening " + path));
  state->size = info->size;
  if (state->size <= kHeaderSize + kTableSize - 1)
    return fail_msg("binary index file too small: " + std::to_string(state->size) + " bytes");

  uint8_t header[kHeaderSize];
  if (auto r = pread_exact(state->fd.get(), 0, sizeof header, header); !r)
    return fail(std::move(r).error().context("opening " + path));
  if (std::memcmp(header, kRetiredMagic, 8) == 0)
    return fail_msg(
        "binary index format KXIDXF01 is no longer supported; run `kx index build` to rebuild");
  if (std::memcmp(header, kMagic, 8) != 0) return fail_msg("binary index magic mismatch");
  state->count = decode_fixed32(header + 8);
  state->table_offset = decode_fixed64(header + 16);
  const uint64_t t = state->table_offset;
  if (t < kHeaderSize || t > state->size - kTableSize)
    return fail(corrupt("the table offset " + std::to_string(t) + " lies outside the file of " +
                        std::to_string(state->size) + " bytes"));

  uint8_t raw_table[kTableSize];
  if (auto r = pread_exact(state->fd.get(), t, sizeof raw_table, raw_table); !r)
    return fail(std::move(r).error().context("opening " + path));
  for (int b = 0; b < 256; ++b) state->table[b] = decode_fixed64(raw_table + 8 * b);
  const uint64_t entries_size = t - kHeaderSize;
  if (!state->entry_bytes.reserve(entries_size) ||
      !state->entry_slots.reserve(entries_size / kEntryHead * sizeof(Bucket::Slot)))
    return fail(Error::os(ENOMEM).context("opening " + path));

  if (t + kTableSize + 4 < state->size) {
    uint8_t count[4];
    if (auto r = pread_exact(state->fd.get(), t + kTableSize, 4, count); !r)
      return fail(std::move(r).error().context("opening " + path));
    state->line_offsets_count = decode_fixed32(count);
    state->line_offsets_pos = t + kTableSize + 4;
  }
  return std::optional<BinaryIndex>(BinaryIndex(std::move(state)));
}

Result<std::vector<IndexRef>> lookup(const BinaryIndex& index, std::string_view key_hex) {
  Digest key;
  if (!hex_to_bytes(key_hex, key.data(), key.size())) return std::vector<IndexRef>();
  return lookup_key(index, key);
}

namespace {

// Follows the file's order the way a plain scan would: stops at the first
// greater key.  Used for buckets whose keys are not sorted (a foreign or
// damaged file), where a binary search could miss a key a scan finds.
void scan_unsorted(const Bucket& bucket, const Digest& key, std::vector<IndexRef>& out) {
  const auto* p = reinterpret_cast<const uint8_t*>(bucket.bytes.data());
  bool found = false;
  for (const Bucket::Slot& slot : bucket.slots) {
    const uint64_t start = slot.start;
    int cmp = std::memcmp(p + start, key.data(), 32);
    if (cmp > 0 || (found && cmp != 0)) return;
    if (cmp == 0) {
      found = true;
      decode_records(p + start + kEntryHead, decode_fixed16(p + start + 32), out);
    }
  }
}

// The first slot of [first, last) whose prefix is not below `prefix`.
// Keys are hashes, spread evenly, so the third and fourth key bytes say
// where in its group a key lies: a short walk from there usually finds it
// in one cache line.  Keys that are not spread so fall back to a binary
// search.
template <typename It>
It lower_bound_by_guess(It first, It last, uint64_t prefix, const Digest& key) {
  const size_t n = static_cast<size_t>(last - first);
  It it = first + static_cast<std::ptrdiff_t>((((size_t{key[2]} << 8) | key[3]) * n) >> 16);
  for (int steps = 0; steps < 8; ++steps) {
    if (it > first && (it - 1)->prefix >= prefix) {
      --it;
    } else if (it < last && it->prefix < prefix) {
      ++it;
    } else {
      return it;
    }
  }
  return std::lower_bound(first, last, prefix,
                          [](const Bucket::Slot& s, uint64_t v) { return s.prefix < v; });
}

}  // namespace

Result<std::vector<IndexRef>> lookup_key(const BinaryIndex& index, const Digest& key) {
  std::vector<IndexRef> refs;
  const BinaryIndex::State& state = index.state();
  if (state.table[key[0]] == 0) return refs;
  const Bucket& bucket = state.bucket(key[0]);
  if (bucket.error) return fail(Error(*bucket.error));
  if (!bucket.sorted) {
    scan_unsorted(bucket, key, refs);
    return refs;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(bucket.bytes.data());
  const uint64_t prefix = key_prefix(key.data());
  // Within a sorted bucket every entry starts with key[0] except in a
  // damaged file, where the search may then miss; it never reads outside.
  auto first = bucket.slots.begin() + bucket.by_second[key[1]];
  auto last = bucket.slots.begin() + bucket.by_second[key[1] + 1];
  auto it = lower_bound_by_guess(first, last, prefix, key);
  // Entries with an equal prefix are few; the first with an equal key
  // starts the run of (split) entries that hold this key.
  for (; it != bucket.slots.end() && it->prefix == prefix; ++it) {
    const uint8_t* entry = p + it->start;
    int cmp = std::memcmp(entry, key.data(), 32);
    if (cmp < 0) continue;
    if (cmp > 0) break;
    decode_records(entry + kEntryHead, decode_fixed16(entry + 32), refs);
  }
  return refs;
}

Result<std::string> line_offset_table(const std::string& data_file) {
  KX_ASSIGN_OR_RETURN(auto data, read_file_bytes(data_file));
  std::string table;
  if (!data) return table;
  const std::string_view bytes = data->view();
  put_fixed32(table, 0);  // count, filled in below
  uint64_t count = 0;
  // Every raw line counts, empty ones too: entry i is where line i starts.
  LineCursor cursor(bytes);
  for (Line line; cursor.next_raw(line);) {
    if (line.offset >= kU32Limit)
      return fail_msg("data file " + data_file +
                      " is too large for a line-offset table: line starts must lie below 4 GiB");
    put_fixed32(table, static_cast<uint32_t>(line.offset));
    ++count;
  }
  std::string count_bytes;
  put_fixed32(count_bytes, static_cast<uint32_t>(count));
  table.replace(0, 4, count_bytes);
  return table;
}

Status append_line_offsets(const std::string& kx_dir, const std::string& data_file) {
  KX_ASSIGN_OR_RETURN(std::string table, line_offset_table(data_file));
  if (table.empty()) return {};
  const std::string path = index_path(kx_dir);
  auto file = FileWriter::append(path, /*create=*/false);
  if (!file) return fail(std::move(file).error().context("opening " + path + " for append"));
  KX_TRY(file->write(table));
  return file->close();
}

}  // namespace binary_index
}  // namespace kestrix
