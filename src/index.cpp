// The index build: regenerates, from the layers and the merged token-index
// files, the group files under index/, index.bin with the line-offset tables
// of the project's *.jsonl files, and the binary token index of every
// tokenizer.
//
// Files are parsed in parallel on the worker pool (one task per shard file,
// one per slice of a merged token-index file); the results are combined on
// the calling thread in listing and line order, so the output does not
// depend on the number of threads.  Each group file and index.bin are
// replaced through a temporary file and a rename: a reader never sees a
// half-written file, and a failed build leaves the previous index.bin.
// An id, section hash or line hash whose first two bytes cannot name a group
// file or shard (too short, splitting a character, or not a safe file name)
// is skipped.  Must not run while another process writes to the store.
#include "index.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>

#include "binary_index.h"
#include "fs.h"
#include "hash.h"
#include "hash_tables.h"
#include "json.h"
#include "lib.h"
#include "mmap_lines.h"
#include "pool.h"
#include "records.h"
#include "token_bin_index.h"
#include "token_index.h"

namespace kestrix {
namespace {

// The first two bytes of an id, as one number that sorts like the bytes.
using ShardCode = uint16_t;

constexpr uint64_t kU32Limit = uint64_t{1} << 32;
constexpr size_t kSliceBytes = size_t{4} << 20;

// True when the first two bytes of `id` can name a group file or shard:
// they end on a character boundary and make a file name inside the directory.
bool names_group(std::string_view id) {
  if (id.size() < 2) return false;
  if (id.size() > 2 && (static_cast<uint8_t>(id[2]) & 0xC0) == 0x80) return false;
  if ((static_cast<uint8_t>(id[1]) & 0xC0) == 0xC0) return false;  // a lead byte
  if (id[0] == '/' || id[1] == '/' || id[0] == '\0' || id[1] == '\0') return false;
  return id.substr(0, 2) != "..";
}
ShardCode code_of(std::string_view id) {
  return static_cast<ShardCode>((static_cast<uint8_t>(id[0]) << 8) | static_cast<uint8_t>(id[1]));
}
std::string code_name(ShardCode code) {
  return {static_cast<char>(code >> 8), static_cast<char>(code & 0xff)};
}

// Ids are mostly hex digests: sixteen of their bytes spread them well and
// cost far less than hashing all of them.
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const {
    if (s.size() < 16) return std::hash<std::string_view>{}(s);
    uint64_t a, b;
    std::memcpy(&a, s.data(), 8);
    std::memcpy(&b, s.data() + s.size() - 8, 8);
    uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull) ^ s.size()) * 0xFF51AFD7ED558CCDull;
    return static_cast<size_t>(h ^ (h >> 32));
  }
};
template <typename V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;


// One string member and the string elements of one array member of a JSON
// object line.  The views point into the line or into `scratch`.
struct LineFields {
  bool parsed = false;
  bool has_string = false;
  std::string_view string;
  bool has_list = false;
  std::vector<std::string_view> list;
  Value scratch;
};

void read_fields_slow(std::string_view line, std::string_view str_key, std::string_view list_key,
                      LineFields& out) {
  auto value = parse_json(line);
  if (!value) return;
  out.parsed = true;
  out.scratch = std::move(*value);
  if (const std::string* s = get_string(out.scratch, str_key)) {
    out.has_string = true;
    out.string = *s;
  }
  if (const Array* items = get_array(out.scratch, list_key)) {
    out.has_list = true;
    for (const Value& item : *items)
      if (const std::string* s = item.as_string()) out.list.push_back(*s);
  }
}

// Fills `out` from one line; out.parsed is false when the line is not JSON.
void read_fields(std::string_view line, std::string_view str_key, std::string_view list_key,
                 LineFields& out) {
  out.parsed = out.has_string = out.has_list = false;
  out.list.clear();
  bool flat = flat_json::scan_flat_object(line, [&](const flat_json::Member& m) {
    if (m.key == str_key) {
      out.has_string = m.kind == flat_json::Kind::kString;
      out.string = m.value;
    } else if (m.key == list_key) {
      out.has_list = m.kind == flat_json::Kind::kStringArray;
      out.list.clear();
      if (out.has_list) flat_json::for_each_string(m.value, [&](std::string_view s) { out.list.push_back(s); });
    }
  });
  if (flat) {
    out.parsed = true;
    return;
  }
  out.has_string = out.has_list = false;
  out.list.clear();
  read_fields_slow(line, str_key, list_key, out);
}

// The regular files of `dir` in listing order; none when it is no directory.
Result<std::vector<DirEntry>> regular_files(const std::string& dir) {
  std::vector<DirEntry> files;
  if (!is_dir(dir)) return files;
  KX_ASSIGN_OR_RETURN(files, list_dir(dir));
  std::erase_if(files, [](const DirEntry& e) { return !e.is_regular_file(); });
  return files;
}

// Runs `parse(bytes, out)` over every file in parallel and returns the
// outputs in file order, or the error of the first file that failed.
template <typename Out, typename Parse>
Result<std::vector<Out>> parse_files(const std::vector<DirEntry>& files, Parse&& parse) {
  auto results = parallel_map<Result<Out>>(files.size(), [&](size_t i) -> Result<Out> {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(files[i].path));
    Out out{};
    if (bytes) parse(bytes->view(), out);
    return out;
  });
  std::vector<Out> outs;
  outs.reserve(results.size());
  for (auto& r : results) {
    if (!r) return fail(std::move(r).error());
    outs.push_back(std::move(*r));
  }
  return outs;
}

// ---- Sections and documents (steps 1 to 3) ----

struct SectionLine {
  std::string hash;
  std::vector<std::string> authors;
};

struct Catalog {
  StringMap<uint32_t> section_index;
  std::vector<std::string> sections;              // in first-seen order
  std::vector<std::vector<ShardCode>> doc_shards;  // per section
  StringMap<std::vector<ShardCode>> author_shards;
};

void parse_sections(std::string_view bytes, std::vector<SectionLine>& out) {
  LineFields f;
  for_each_line(bytes, [&](std::string_view line) {
    read_fields(line, "section_hash", "authors", f);
    if (!f.has_string || !names_group(f.string)) return;
    SectionLine s{std::string(f.string), {}};
    if (f.has_list) s.authors.assign(f.list.begin(), f.list.end());
    out.push_back(std::move(s));
  });
}

Result<Catalog> read_sections(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(auto files, regular_files(store_path(kx_dir, "sections")));
  KX_ASSIGN_OR_RETURN(auto per_file, parse_files<std::vector<SectionLine>>(files, parse_sections));
  Catalog cat;
  for (auto& lines : per_file) {
    for (SectionLine& s : lines) {
      const ShardCode code = code_of(s.hash);
      for (const std::string& author : s.authors)
        if (names_group(author)) cat.author_shards[author].push_back(code);
      auto [it, added] = cat.section_index.try_emplace(s.hash, static_cast<uint32_t>(cat.sections.size()));
      if (added) cat.sections.push_back(std::move(s.hash));
    }
  }
  cat.doc_shards.resize(cat.sections.size());
  return cat;
}

// (section number, document shard) pairs of the records listing a section.
using DocHits = std::vector<std::pair<uint32_t, ShardCode>>;

Status read_documents(const std::string& kx_dir, Catalog& cat) {
  KX_ASSIGN_OR_RETURN(auto files, regular_files(store_path(kx_dir, "document-index")));
  auto parse = [&](std::string_view bytes, DocHits& out) {
    LineFields f;
    for_each_line(bytes, [&](std::string_view line) {
      read_fields(line, "line_hash", "sources", f);
      if (!f.has_list || !f.has_string || !names_group(f.string)) return;
      const ShardCode code = code_of(f.string);
      for (std::string_view source : f.list) {
        auto it = cat.section_index.find(source);
        if (it != cat.section_index.end()) out.emplace_back(it->second, code);
      }
    });
  };
  KX_ASSIGN_OR_RETURN(auto per_file, parse_files<DocHits>(files, parse));
  for (const DocHits& hits : per_file)
    for (auto [section, code] : hits) cat.doc_shards[section].push_back(code);
  return {};
}

void sort_unique(std::vector<ShardCode>& codes) {
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
}

void append_group_record(std::string& out, std::string_view id, const std::vector<ShardCode>& refs) {
  JsonWriter w(out);
  w.begin_object().key("id").string(id).key("refs").begin_array();
  for (ShardCode code : refs) w.string(code_name(code));
  w.end_array().end_object();
  out.push_back('\n');
}

// Group name -> file content: author records first, then section records,
// each kind sorted by id.
std::map<std::string, std::string> group_files(Catalog& cat) {
  std::map<std::string, std::string> groups;
  std::vector<std::string_view> ids;
  for (auto& [author, codes] : cat.author_shards) {
    sort_unique(codes);
    ids.push_back(author);
  }
  std::sort(ids.begin(), ids.end());
  for (std::string_view id : ids)
    append_group_record(groups[std::string(id.substr(0, 2))], id, cat.author_shards.find(id)->second);

  std::vector<uint32_t> order(cat.sections.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return cat.sections[a] < cat.sections[b]; });
  for (uint32_t i : order) {
    sort_unique(cat.doc_shards[i]);
    const std::string& id = cat.sections[i];
    append_group_record(groups[id.substr(0, 2)], id, cat.doc_shards[i]);
  }
  return groups;
}

// Replaces the group files: each one atomically, then every other regular
// file of the directory is deleted.
Status write_group_files(const std::string& kx_dir,
                         const std::map<std::string, std::string>& groups) {
  const std::string dir = store_path(kx_dir, "index");
  if (!is_dir(dir)) KX_TRY(create_dirs(dir));
  for (const auto& [name, content] : groups)
    KX_TRY(atomic_write(path_join(dir, name), content, store_dir(kx_dir)));
  KX_ASSIGN_OR_RETURN(auto files, regular_files(dir));
  for (const DirEntry& file : files)
    if (!groups.contains(file.name)) KX_TRY(remove_file(file.path));
  return {};
}

// ---- Entries of index.bin (steps 5 and 6) ----

// True when `name` has no extension: no dot, or only a leading one.
bool has_no_extension(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 || name == "..";
}

// A shard reference written as a hex number from 0 to 255, with an optional
// leading "+".
std::optional<uint8_t> parse_shard_byte(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    int digit = (c >= '0' && c <= '9') ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
    if (value > 255) return std::nullopt;
  }
  return static_cast<uint8_t>(value);
}

struct Entries {
  std::vector<binary_index::EncodedEntry> list;
  FlatMap<Digest, size_t> position;
};

Result<Entries> entries_from_group_files(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(auto files, regular_files(store_path(kx_dir, "index")));
  std::erase_if(files, [](const DirEntry& e) { return !has_no_extension(e.name); });
  using Out = std::vector<binary_index::EncodedEntry>;
  auto parse = [](std::string_view bytes, Out& out) {
    LineFields f;
    for_each_line(bytes, [&](std::string_view line) {
      read_fields(line, "id", "refs", f);
      binary_index::EncodedEntry entry;
      if (!f.has_string || !hex_to_bytes(f.string, entry.key.data(), entry.key.size())) return;
      for (std::string_view ref : f.list) {
        if (auto shard = parse_shard_byte(ref)) {
          entry.records.push_back('\0');
          entry.records.push_back(static_cast<char>(*shard));
        }
      }
      out.push_back(std::move(entry));
    });
  };
  KX_ASSIGN_OR_RETURN(auto per_file, parse_files<Out>(files, parse));
  Entries entries;
  for (Out& out : per_file)
    for (auto& e : out) entries.list.push_back(std::move(e));
  for (size_t i = 0; i < entries.list.size(); ++i) entries.position[entries.list[i].key] = i;
  return entries;
}

// A line of a merged file that lists a 64-hex-digit source.
struct TokenHit {
  Digest key;
  uint64_t offset;
  uint64_t length;
};

struct Slice {
  size_t file;
  size_t begin;
  size_t end;
};

struct SliceResult {
  std::vector<TokenHit> hits;
  uint64_t lines = 0;  // lines that carried a sources array
};

// A hit keeps where its line starts and the line's length before a trailing
// carriage return was removed, the range the token binary index records.
SliceResult parse_token_slice(std::string_view bytes, size_t begin, size_t end) {
  SliceResult result;
  LineFields f;
  LineCursor cursor(bytes, begin, end);
  for (Line line; cursor.next(line);) {
    read_fields(line.text, {}, "sources", f);
    if (!f.has_list) continue;
    ++result.lines;
    for (std::string_view source : f.list) {
      TokenHit hit{{}, line.offset, line.raw_length};
      if (hex_to_bytes(source, hit.key.data(), hit.key.size())) result.hits.push_back(hit);
    }
  }
  return result;
}

// Cuts each file into slices of about kSliceBytes that end at line feeds.
std::vector<Slice> slice_files(const std::vector<std::optional<FileBytes>>& contents) {
  std::vector<Slice> slices;
  for (size_t f = 0; f < contents.size(); ++f) {
    if (!contents[f]) continue;
    std::string_view bytes = contents[f]->view();
    size_t begin = 0;
    while (begin < bytes.size()) {
      const size_t end = end_of_line(bytes, begin + kSliceBytes);
      slices.push_back({f, begin, end});
      begin = end;
    }
  }
  return slices;
}

Status check_token_limits(const std::string& tokenizer, uint64_t number, const std::string& path,
                          const TokenHit& hit) {
  if (number > 0xffff)
    return fail_msg("token-index file " + path + " has number " + std::to_string(number) +
                    ", above 65535, the largest file number index.bin can store");
  if (hit.offset >= kU32Limit || hit.length >= kU32Limit)
    return fail_msg("token-index line at offset " + std::to_string(hit.offset) + " of " + path +
                    " lies beyond the 4 GiB that index.bin can address (tokenizer '" + tokenizer +
                    "')");
  return {};
}

// Adds the token-line references of one tokenizer's merged files.
Result<uint64_t> add_token_lines(const std::string& kx_dir, const std::string& tokenizer,
                                 Entries& entries) {
  KX_ASSIGN_OR_RETURN(auto files, token_index::get_merged_files(kx_dir, tokenizer));
  auto read = parallel_map<Result<std::optional<FileBytes>>>(
      files.size(), [&](size_t i) { return read_file_bytes(files[i].second); });
  std::vector<std::optional<FileBytes>> contents;
  for (auto& r : read) {
    if (!r) return fail(std::move(r).error());
    contents.push_back(std::move(*r));
  }
  const std::vector<Slice> slices = slice_files(contents);
  auto results = parallel_map<SliceResult>(slices.size(), [&](size_t i) {
    const Slice& s = slices[i];
    return parse_token_slice(contents[s.file]->view(), s.begin, s.end);
  });

  uint64_t lines = 0;
  for (size_t i = 0; i < slices.size(); ++i) {
    lines += results[i].lines;
    const auto& [number, path] = files[slices[i].file];
    for (const TokenHit& hit : results[i].hits) {
      KX_TRY(check_token_limits(tokenizer, number, path, hit));
      auto [it, added] = entries.position.try_emplace(hit.key, entries.list.size());
      if (added) entries.list.push_back({hit.key, {}});
      KX_TRY(binary_index::encode_token_line(tokenizer, static_cast<uint16_t>(number),
                                             static_cast<uint32_t>(hit.offset),
                                             static_cast<uint32_t>(hit.length),
                                             entries.list[it->second].records));
    }
    results[i] = SliceResult{};  // release early
  }
  return lines;
}

// ---- Line-offset tables (step 9) ----

bool has_jsonl_extension(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "jsonl";
}

// The line-offset tables of the project's *.jsonl files in listing order,
// gathered before index.bin is written so that the file is replaced whole,
// tables included.  A failure is kept in `status` with the tables gathered
// before it; the build reports it after writing the indexes, as a build
// whose appends stopped part-way would.
struct LineTables {
  std::string bytes;
  Status status;
};

LineTables project_line_offset_tables(const std::string& kx_dir) {
  LineTables tables;
  auto entries = list_dir(kx_dir.empty() ? "." : kx_dir);
  if (!entries) {
    tables.status = fail(std::move(entries).error());
    return tables;
  }
  for (const DirEntry& entry : *entries) {
    // A directory named *.jsonl has no lines to index.
    if (!has_jsonl_extension(entry.name) || is_dir(entry.path)) continue;
    auto table = binary_index::line_offset_table(entry.path);
    if (!table) {
      tables.status = fail(std::move(table).error());
      return tables;
    }
    tables.bytes += *table;
  }
  return tables;
}

}  // namespace

Result<IndexStats> build_index(const std::string& kx_dir) {
  // The sections are read first so that document records can be matched to
  // them while they are parsed; a failure of the document layer is still
  // the one reported first.
  auto catalog = read_sections(kx_dir);
  Catalog empty;
  KX_TRY(read_documents(kx_dir, catalog ? *catalog : empty));
  if (!catalog) return fail(std::move(catalog).error());

  IndexStats stats;
  stats.authors = catalog->author_shards.size();
  stats.sections = catalog->sections.size();
  stats.total = stats.authors + stats.sections;
  KX_TRY(write_group_files(kx_dir, group_files(*catalog)));
  catalog = Catalog{};

  KX_ASSIGN_OR_RETURN(Entries entries, entries_from_group_files(kx_dir));
  KX_ASSIGN_OR_RETURN(auto tokenizers, token_index::list_tokenizers(kx_dir));
  for (const std::string& tokenizer : tokenizers) {
    KX_ASSIGN_OR_RETURN(uint64_t lines, add_token_lines(kx_dir, tokenizer, entries));
    stats.token_index_entries += lines;
  }
  entries.position.clear();
  LineTables tables = project_line_offset_tables(kx_dir);
  KX_TRY(binary_index::build_encoded(kx_dir, std::move(entries.list), tables.bytes));

  // A tokenizer whose binary index cannot be built is left to the fallback
  // scans of its readers; the build itself still succeeds.
  if (auto again = token_index::list_tokenizers(kx_dir)) {
    for (const std::string& tokenizer : *again)
      (void)token_bin_index::build_binary_index(kx_dir, tokenizer);
  }
  KX_TRY(tables.status);
  return stats;
}

}  // namespace kestrix
