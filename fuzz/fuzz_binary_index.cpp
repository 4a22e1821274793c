// Fuzzes index.bin: the reader on arbitrary file contents and the writer on
// arbitrary entries.
//
// Input: a mode byte, then
// - mode even: the bytes of an index.bin.  Opening and every lookup either
//   fail with an error or give what a plain scan of the bytes gives (the
//   first-byte slot, the bucket up to the next slot, entries in key order,
//   a run of equal keys joined); the line-offset table reads as stored.
// - mode odd: entries carved from the input (keys, shard and token-line
//   references, a repeat count that can push a key past the 65535 bytes one
//   entry holds).  build() either refuses them (a tokenizer name over 255
//   bytes) leaving the old file, or writes a file in which every key looks
//   up to exactly its references in input order; a line-offset table of a
//   data file carved from the input reads back as the data's line starts.
#include <algorithm>
#include <map>
#include <vector>

#include "binary_index.h"
#include "fs.h"
#include "fuzz_common.h"
#include "hash.h"
#include "lib.h"

using namespace kestrix;

namespace {

uint64_t le(std::string_view b, size_t at, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}

// Reference decoding of R bytes of reference records.
std::vector<IndexRef> decode(std::string_view r) {
  std::vector<IndexRef> out;
  size_t pos = 0;
  while (pos < r.size()) {
    size_t left = r.size() - pos;
    uint8_t tag = static_cast<uint8_t>(r[pos]);
    if (left < 2 || tag > 1) break;
    if (tag == 0) {
      out.emplace_back(ShardRef{static_cast<uint8_t>(r[pos + 1])});
      pos += 2;
      continue;
    }
    size_t len = static_cast<uint8_t>(r[pos + 1]);
    if (len + 12 > left) break;
    TokenLineRef ref;
    ref.tokenizer = utf8_lossy(r.substr(pos + 2, len));
    ref.file_number = static_cast<uint16_t>(le(r, pos + 2 + len, 2));
    ref.offset = static_cast<uint32_t>(le(r, pos + 4 + len, 4));
    ref.length = static_cast<uint32_t>(le(r, pos + 8 + len, 4));
    out.push_back(std::move(ref));
    pos += len + 12;
  }
  return out;
}

// A plain scan of the bucket of key[0]; nullopt where the bytes are not a
// readable index (the reader must then have failed).
std::optional<std::vector<IndexRef>> reference_lookup(std::string_view file, const Digest& key) {
  const uint64_t t = le(file, 16, 8);
  uint64_t start = le(file, t + 8 * key[0], 8);
  if (start == 0) return std::vector<IndexRef>();
  uint64_t end = t;
  for (int b = key[0] + 1; b < 256; ++b) {
    if (uint64_t v = le(file, t + 8 * b, 8)) {
      end = v;
      break;
    }
  }
  if (start < 24 || start > end || end > t) return std::nullopt;
  std::vector<IndexRef> refs;
  bool found = false;
  for (uint64_t pos = start; end - pos >= 34;) {
    uint64_t r = le(file, pos + 32, 2);
    if (pos + 34 + r > end) return std::nullopt;
    int cmp = std::memcmp(file.data() + pos, key.data(), 32);
    if (cmp > 0 || (found && cmp != 0)) break;
    if (cmp == 0) {
      found = true;
      auto more = decode(file.substr(pos + 34, r));
      refs.insert(refs.end(), more.begin(), more.end());
    }
    pos += 34 + r;
  }
  return refs;
}

std::string hex_of(const Digest& key) { return bytes_to_hex(key.data(), key.size()); }

void check_lookup(const BinaryIndex& index, std::string_view file, const Digest& key) {
  auto got = binary_index::lookup(index, hex_of(key));
  if (!got) return;  // a corrupt bucket is reported, not read past
  auto expected = reference_lookup(file, key);
  FUZZ_CHECK(expected.has_value(), "lookup succeeded where the bytes are not readable");
  FUZZ_CHECK(*got == *expected, "lookup gave %zu refs, a plain scan %zu", got->size(),
             expected->size());
}

void fuzz_reader(const std::string& kx_dir, std::string_view file) {
  const std::string path = binary_index::index_path(kx_dir);
  fuzz::write_file(path, file);
  auto opened = binary_index::open(kx_dir);
  if (!opened) return;
  FUZZ_CHECK(opened->has_value(), "an existing file opened as absent");
  const BinaryIndex& index = **opened;
  FUZZ_CHECK(file.size() >= 2072 && file.substr(0, 8) == "KXIDXF02", "a bad header was accepted");
  FUZZ_CHECK(index.table_offset() + 2048 <= file.size(), "table offset outside the file accepted");

  // Keys at the places entries would start, and keys that are not there.
  Digest key{};
  for (uint64_t pos = 24, n = 0; pos + 34 <= index.table_offset() && n < 64; ++n) {
    std::memcpy(key.data(), file.data() + pos, 32);
    check_lookup(index, file, key);
    key[31] ^= 1;
    check_lookup(index, file, key);
    pos += 34 + le(file, pos + 32, 2);
  }
  std::memcpy(key.data(), file.data() + file.size() - 32, 32);
  check_lookup(index, file, key);
  for (std::string_view bad : {"", "00", "zz00000000000000000000000000000000000000000000000000000000000000"}) {
    auto none = binary_index::lookup(index, bad);
    FUZZ_CHECK(none && none->empty(), "a malformed key text found something");
  }

  auto offsets = index.line_offsets();
  if (offsets) {
    FUZZ_CHECK(offsets->size() == index.line_offsets_count(), "line-offset count differs");
    for (size_t i = 0; i < offsets->size(); ++i)
      FUZZ_CHECK((*offsets)[i] == le(file, index.line_offsets_position() + 4 * i, 4),
                 "line offset %zu differs", i);
  }
}

Digest carve_key(fuzz::Reader& in) {
  Digest key{};
  // Few distinct first bytes and short distinct tails, so that keys share
  // buckets and repeat.
  key[0] = in.byte() % 4;
  uint8_t tail = in.byte();
  key[1] = tail & 0x80 ? tail : 0;
  key[31] = tail & 7;
  return key;
}

IndexRef carve_ref(fuzz::Reader& in) {
  uint8_t kind = in.byte();
  if (kind % 3 != 0) return ShardRef{in.byte()};
  TokenLineRef ref;
  size_t len = in.byte();
  if (len == 255) len = 256 + in.byte();  // over the limit: the build must refuse it
  ref.tokenizer = std::string(in.bytes(len));
  ref.tokenizer.resize(len, 't');
  if (!ref.tokenizer.empty()) ref.tokenizer[0] = 'x';  // keep names UTF-8 enough to compare
  for (char& c : ref.tokenizer) c = static_cast<char>(0x20 + (static_cast<uint8_t>(c) % 0x5f));
  ref.file_number = static_cast<uint16_t>(in.u32());
  ref.offset = in.u32();
  ref.length = in.u32();
  return ref;
}

void fuzz_writer(const std::string& kx_dir, fuzz::Reader& in) {
  std::vector<IndexEntry> entries;
  std::map<Digest, std::vector<IndexRef>> expected;
  bool too_long = false;
  size_t count = in.byte() % 24;
  for (size_t i = 0; i < count && !in.empty(); ++i) {
    IndexEntry e;
    e.hash = carve_key(in);
    size_t refs = in.byte() % 6;
    for (size_t k = 0; k < refs; ++k) e.refs.push_back(carve_ref(in));
    // Repeating the references can exceed what one entry holds.
    size_t repeat = in.byte() == 0xff ? 1 + in.u32() % 40000 : 1;
    std::vector<IndexRef> once = e.refs;
    size_t once_bytes = 0;
    for (const IndexRef& ref : once) {
      const auto* line = std::get_if<TokenLineRef>(&ref);
      once_bytes += line ? line->tokenizer.size() + 12 : 2;
    }
    repeat = std::min(repeat, 1 + 70000 / (once_bytes + 1));  // bounded work per input
    for (size_t r = 1; r < repeat; ++r) e.refs.insert(e.refs.end(), once.begin(), once.end());
    for (const IndexRef& ref : e.refs)
      if (const auto* line = std::get_if<TokenLineRef>(&ref); line && line->tokenizer.size() > 255)
        too_long = true;
    auto& all = expected[e.hash];
    all.insert(all.end(), e.refs.begin(), e.refs.end());
    entries.push_back(std::move(e));
  }

  const std::string path = binary_index::index_path(kx_dir);
  const std::string old = "previous index";
  fuzz::write_file(path, old);
  auto built = binary_index::build(kx_dir, entries);
  if (too_long) {
    FUZZ_CHECK(!built, "a tokenizer name over 255 bytes was accepted");
    auto kept = read_whole_file(path);
    FUZZ_CHECK(kept && *kept && **kept == old, "a refused build changed the old file");
    return;
  }
  FUZZ_CHECK(built, "build failed: %s", built ? "" : built.error().outermost().c_str());
  auto opened = binary_index::open(kx_dir);
  FUZZ_CHECK(opened && opened->has_value(), "a built index does not open");
  const BinaryIndex& index = **opened;
  FUZZ_CHECK(index.entry_count() >= entries.size(), "fewer entries stored than given");
  for (const auto& [key, refs] : expected) {
    auto got = binary_index::lookup(index, hex_of(key));
    FUZZ_CHECK(got && *got == refs, "built key looks up to %zu refs, %zu were given",
               got ? got->size() : size_t{0}, refs.size());
    Digest other = key;
    other[30] ^= 0x5a;
    auto none = binary_index::lookup(index, hex_of(other));
    FUZZ_CHECK(none && none->empty(), "an absent key found something");
  }

  // A line-offset table of a data file carved from the rest of the input.
  std::string_view data = in.rest();
  const std::string data_path = path_join(kx_dir, "data.txt");
  fuzz::write_file(data_path, data);
  FUZZ_CHECK(binary_index::append_line_offsets(kx_dir, data_path), "append_line_offsets failed");
  auto reopened = binary_index::open(kx_dir);
  FUZZ_CHECK(reopened && reopened->has_value(), "index with a line-offset table does not open");
  std::vector<uint32_t> starts;
  for (size_t s = 0; s < data.size();) {
    starts.push_back(static_cast<uint32_t>(s));
    size_t nl = data.find('\n', s);
    if (nl == std::string_view::npos) break;
    s = nl + 1;
  }
  auto offsets = (*reopened)->line_offsets();
  FUZZ_CHECK(offsets && *offsets == starts, "line-offset table differs from the data's line starts");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const std::string& kx_dir = fuzz::scratch_project();
  if (in.byte() % 2 == 0) {
    fuzz_reader(kx_dir, in.rest());
  } else {
    fuzz_writer(kx_dir, in);
  }
  return 0;
}
