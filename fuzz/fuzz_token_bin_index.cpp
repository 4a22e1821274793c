// Fuzzes the binary token index: the reader on arbitrary file contents and
// the build on arbitrary merged files.
//
// Input: a mode byte, then
// - mode even: a flag byte, then the bytes of "token-index.t.bin".  open()
//   either fails or accepts a layout whose regions fit the file; then
//   get_entry_ref, lookup_by_sources and generate_forget_set give what a
//   plain reading of the bytes gives, is_fresh follows the merged files'
//   modification times, and set_revoked_batch changes exactly the revoked
//   bytes of the ids it is given.
// - mode odd: merged files whose lines are carved from the input (entries in
//   the written forms, other JSON, junk, carriage returns).  The build gives
//   one entry per line read_merged() reads, each entry's reference points at
//   a line holding that entry, every source hash looks up to the ids of the
//   entries listing it, and the forget set holds their revoked flags.  A
//   merged file numbered beyond the format (65536) is refused and the old
//   index stays.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "fs.h"
#include "fuzz_common.h"
#include "hash.h"
#include "lib.h"
#include "token_bin_index.h"
#include "token_index.h"

using namespace kestrix;

namespace {

const std::string kTokenizer = "t";

uint64_t le(std::string_view b, size_t at, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
  return v;
}

std::string index_file(const std::string& kx_dir) {
  return store_path(kx_dir, "token-index." + kTokenizer + ".bin");
}

struct Layout {
  uint64_t entries, entries_offset, sources_offset, buckets_offset;
};

Layout layout_of(std::string_view file) {
  return {le(file, 13, 4), le(file, 21, 4), le(file, 25, 4), le(file, 29, 4)};
}

// The ids under `hash` by a plain walk of its bucket, with the reader's
// guard against bucket values outside the source records.
std::vector<uint32_t> reference_ids(std::string_view file, const Layout& l, const Digest& h) {
  std::vector<uint32_t> ids;
  uint64_t start = le(file, l.buckets_offset + 8 * h[0], 8);
  if (start == 0) return ids;
  uint64_t end = l.buckets_offset;
  for (int b = h[0] + 1; b < 256; ++b) {
    if (uint64_t v = le(file, l.buckets_offset + 8 * b, 8)) {
      end = v;
      break;
    }
  }
  if (start < l.sources_offset || end > l.buckets_offset) return ids;
  for (uint64_t pos = start; pos + 34 <= end;) {
    uint64_t k = le(file, pos + 32, 2);
    if (pos + 34 + 4 * k > end) break;
    int cmp = std::memcmp(file.data() + pos, h.data(), 32);
    if (cmp > 0) break;
    if (cmp == 0)
      for (uint64_t i = 0; i < k; ++i) ids.push_back(static_cast<uint32_t>(le(file, pos + 34 + 4 * i, 4)));
    pos += 34 + 4 * k;
  }
  return ids;
}

std::vector<uint32_t> sorted_unique(std::vector<uint32_t> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

// Removes a directory tree that may not exist.
bool clear_dir(const std::string& path) { return !is_dir(path) || remove_tree(path).has_value(); }

void set_mtime(const std::string& path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  FUZZ_CHECK(utimensat(AT_FDCWD, path.c_str(), times, 0) == 0, "cannot set the time of %s", path.c_str());
}

void check_freshness(const std::string& kx_dir, const TokenBinIndex& index, uint8_t flags) {
  const std::string merged = token_index::merged_dir(kx_dir, kTokenizer);
  FUZZ_CHECK(clear_dir(merged), "cannot clear the merged directory");
  FUZZ_CHECK(index.is_fresh(), "an index without merged files is stale");
  if (!(flags & 1)) return;
  FUZZ_CHECK(create_dirs(merged), "cannot create the merged directory");
  const std::string file = path_join(merged, "1");
  fuzz::write_file(file, "");
  set_mtime(index.path(), 2000000000);
  set_mtime(file, (flags & 2) ? 2000000001 : 1999999999);
  FUZZ_CHECK(index.is_fresh() == !(flags & 2), "is_fresh does not follow the merged file's time");
}

void fuzz_reader(const std::string& kx_dir, fuzz::Reader& in) {
  const uint8_t flags = in.byte();
  std::string file(in.rest());
  const std::string path = index_file(kx_dir);
  fuzz::write_file(path, file);
  auto opened = TokenBinIndex::open(kx_dir, kTokenizer);
  if (!opened) return;
  FUZZ_CHECK(opened->has_value(), "an existing file opened as absent");
  TokenBinIndex& index = **opened;
  FUZZ_CHECK(file.size() >= 64 && file.starts_with("KXIDXTI01") && le(file, 9, 4) == 1,
             "a bad header was accepted");
  const Layout l = layout_of(file);
  FUZZ_CHECK(l.entries_offset >= 64 && l.entries_offset + 16 * l.entries <= l.sources_offset &&
                 l.sources_offset <= l.buckets_offset && l.buckets_offset + 2048 <= file.size(),
             "a layout that does not fit the file was accepted");
  FUZZ_CHECK(index.entry_count() == l.entries, "entry count differs from the header");

  std::string bits((l.entries + 7) / 8, '\0');
  for (uint64_t id = 0; id < l.entries; ++id) {
    const size_t at = l.entries_offset + 16 * id;
    const bool revoked = file[at + 10] != 0;
    if (revoked) bits[id / 8] = static_cast<char>(bits[id / 8] | (1 << (id % 8)));
    if (id >= 300) continue;
    auto ref = index.get_entry_ref(static_cast<uint32_t>(id));
    FUZZ_CHECK(ref && ref->file_id == le(file, at, 2) && ref->line_offset == le(file, at + 2, 4) &&
                   ref->line_length == le(file, at + 6, 4) && ref->revoked == revoked,
               "entry %llu differs", static_cast<unsigned long long>(id));
  }
  for (uint64_t id : {l.entries, l.entries + 1, uint64_t{UINT32_MAX}})
    if (id <= UINT32_MAX)
      FUZZ_CHECK(!index.get_entry_ref(static_cast<uint32_t>(id)), "an id past the end has an entry");
  FUZZ_CHECK(index.generate_forget_set() == bits, "forget set differs from the revoked bytes");

  // Hashes where source records would start, hashes beside them, and
  // every hash in one lookup.
  std::set<Digest> all;
  std::vector<uint32_t> all_ids;
  Digest h{};
  for (uint64_t pos = l.sources_offset, n = 0; pos + 34 <= l.buckets_offset && n < 64; ++n) {
    std::memcpy(h.data(), file.data() + pos, 32);
    for (int variant = 0; variant < 2; ++variant) {
      auto got = index.lookup_by_sources({h});
      auto expected = sorted_unique(reference_ids(file, l, h));
      FUZZ_CHECK(got == expected, "lookup gave %zu ids, a plain walk %zu", got.size(), expected.size());
      if (all.insert(h).second) all_ids.insert(all_ids.end(), expected.begin(), expected.end());
      h[31] ^= 1;
    }
    pos += 34 + 4 * le(file, pos + 32, 2);
  }
  FUZZ_CHECK(index.lookup_by_sources(all) == sorted_unique(all_ids), "lookup of many hashes differs");

  check_freshness(kx_dir, index, flags);

  if (!(flags & 4)) return;
  std::vector<std::pair<uint32_t, bool>> updates;
  for (int i = 0; i < 8; ++i) {
    uint32_t id = static_cast<uint32_t>((flags * 131u + i * 977u) % (l.entries + 3));
    updates.push_back({id, ((flags >> i) & 1) != 0});
  }
  FUZZ_CHECK(index.set_revoked_batch(updates), "set_revoked_batch failed");
  for (const auto& [id, flag] : updates)
    if (id < l.entries) file[l.entries_offset + 16 * id + 10] = flag ? 1 : 0;
  auto after = read_whole_file(path);
  FUZZ_CHECK(after && *after && **after == file, "set_revoked_batch changed other bytes");
}

// One merged-file line carved from the input: an entry in one of the
// written forms, or something that is not an entry.
std::string carve_line(fuzz::Reader& in, const std::vector<std::string>& pool) {
  const uint8_t form = in.byte();
  TokenIndexEntry e;
  e.token_count = in.byte();
  e.revoked = form & 1;
  e.tokenizer = kTokenizer;
  for (size_t n = in.byte() % 4; n > 0; --n) e.sources.push_back(pool[in.byte() % pool.size()]);
  std::string line;
  switch ((form >> 1) % 6) {
    case 0: append_token_entry_line(line, e); break;
    case 1: line = to_canonical(token_entry_to_json(e)); break;
    case 2: line = " " + to_canonical(token_entry_to_json(e)) + " \r"; break;
    case 3: {  // the array form
      Array sources;
      for (const auto& s : e.sources) sources.emplace_back(s);
      line = to_canonical(Value(Array{Value(e.token_count), Value(std::move(sources)),
                                      Value(e.tokenizer), Value(e.revoked)}));
      break;
    }
    case 4: line = std::string(in.bytes(in.byte() % 48)); break;  // raw bytes
    default: line = "{\"token_count\":1.5,\"sources\":[],\"tokenizer\":\"t\",\"revoked\":false}";
  }
  return line;
}

void fuzz_build(const std::string& kx_dir, fuzz::Reader& in) {
  const std::string merged = token_index::merged_dir(kx_dir, kTokenizer);
  FUZZ_CHECK(clear_dir(merged) && create_dirs(merged), "cannot reset the merged directory");
  // Sources sharing first bytes, in both cases, and some that are not hashes.
  std::vector<std::string> pool = {"xyz", "", std::string(62, 'a')};
  for (int i = 0; i < 6; ++i) {
    std::string hex(64, '0');
    hex[1] = "0a"[i % 2];
    hex[63] = static_cast<char>('0' + i);
    pool.push_back(hex);
  }
  pool.push_back(std::string(64, 'F'));
  pool.push_back(std::string(64, 'f'));

  // 65536 is beyond the format's file numbers: the build must refuse it.
  static const char* const kNames[] = {"1", "2", "10", "007", "+3", "65535", "65536"};
  size_t files = 1 + in.byte() % 4;
  bool beyond_format = false;
  for (size_t f = 0; f < files; ++f) {
    std::string bytes;
    for (size_t n = in.byte() % 12; n > 0 && !in.empty(); --n) {
      bytes += carve_line(in, pool);
      bytes += (in.byte() % 5 == 0) ? "\n\n" : "\n";
    }
    size_t name = (f + in.byte()) % 7;
    beyond_format |= name == 6;
    fuzz::write_file(path_join(merged, kNames[name]), bytes);
  }

  const std::string path = index_file(kx_dir);
  fuzz::write_file(path, "previous index");
  auto built = token_bin_index::build_binary_index(kx_dir, kTokenizer);
  if (beyond_format) {
    FUZZ_CHECK(!built, "a merged file numbered 65536 was indexed");
    auto kept = read_whole_file(path);
    FUZZ_CHECK(kept && *kept && **kept == "previous index", "a refused build changed the old index");
    return;
  }
  FUZZ_CHECK(built, "build failed: %s", built ? "" : built.error().outermost().c_str());
  auto entries = token_index::read_merged(kx_dir, kTokenizer);
  FUZZ_CHECK(entries && built->entries == entries->size(), "build counted %u entries, read_merged %zu",
             built->entries, entries ? entries->size() : size_t{0});
  auto opened = TokenBinIndex::open(kx_dir, kTokenizer);
  FUZZ_CHECK(opened && opened->has_value(), "a built index does not open");
  const TokenBinIndex& index = **opened;
  FUZZ_CHECK(index.is_fresh(), "a fresh build is stale");

  auto merged_files = token_index::get_merged_files(kx_dir, kTokenizer);
  FUZZ_CHECK(merged_files, "cannot list merged files");
  std::map<uint16_t, std::string> contents;
  for (const auto& [number, path] : *merged_files) {
    auto bytes = read_whole_file(path);
    FUZZ_CHECK(bytes, "cannot read %s", path.c_str());
    contents[static_cast<uint16_t>(number)] = bytes->value_or("");
  }
  std::map<Digest, std::vector<uint32_t>> by_source;
  std::string bits((entries->size() + 7) / 8, '\0');
  for (uint32_t id = 0; id < entries->size(); ++id) {
    const TokenIndexEntry& e = (*entries)[id];
    auto ref = index.get_entry_ref(id);
    FUZZ_CHECK(ref && ref->revoked == e.revoked, "entry %u: missing or wrong flag", id);
    std::string_view bytes = contents[ref->file_id];
    FUZZ_CHECK(uint64_t{ref->line_offset} + ref->line_length <= bytes.size(), "entry %u: outside its file", id);
    std::string_view line = bytes.substr(ref->line_offset, ref->line_length);
    FUZZ_CHECK(ref->line_offset + ref->line_length == bytes.size() ||
                   bytes[ref->line_offset + ref->line_length] == '\n',
               "entry %u: the line does not end at a line feed", id);
    if (line.ends_with('\r')) line.remove_suffix(1);
    auto at = parse_token_entry_line(line);
    FUZZ_CHECK(at && at->sources == e.sources && at->token_count == e.token_count,
               "entry %u: its reference points at another line", id);
    if (e.revoked) bits[id / 8] = static_cast<char>(bits[id / 8] | (1 << (id % 8)));
    for (const auto& s : e.sources)
      if (auto h = digest_from_hex(s)) by_source[*h].push_back(id);
  }
  FUZZ_CHECK(built->sources == by_source.size(), "source count differs");
  FUZZ_CHECK(index.generate_forget_set() == bits, "forget set differs from the entries' flags");
  for (const auto& [hash, ids] : by_source)
    FUZZ_CHECK(index.lookup_by_sources({hash}) == sorted_unique(ids), "source lookup differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const std::string& kx_dir = fuzz::scratch_project();
  if (in.byte() % 2 == 0) {
    fuzz_reader(kx_dir, in);
  } else {
    fuzz_build(kx_dir, in);
  }
  return 0;
}
