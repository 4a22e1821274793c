// Queries over the provenance chain: author name -> author ids -> sections
// -> document records (and token-index entries).  Everything here only
// reads.  Whole-layer scans read the shards of storage.h's listing, one
// worker-pool task per shard, and join the per-shard results in listing
// order; a shard that cannot be read fails the query.  The indexed way reads
// only the shards
// index.bin names, also one pool task per shard, joined in shard order.
// Every line is first screened by the byte pre-filter of line_filter.h so
// that only lines that may hold a wanted string are parsed.
#include "show.h"

#include <algorithm>
#include <bitset>
#include <iterator>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "authors.h"
#include "binary_index.h"
#include "fs.h"
#include "json.h"
#include "lib.h"
#include "line_filter.h"
#include "mmap_lines.h"
#include "pool.h"
#include "records.h"
#include "register.h"
#include "storage.h"
#include "token_bin_index.h"
#include "token_match.h"

namespace kestrix {
namespace {

constexpr std::string_view kSectionsLayer = "sections";
constexpr std::string_view kDocumentsLayer = "document-index";

// Runs scan(bytes, out) over every shard of a layer (scan_shards) and
// returns the outputs concatenated in listing order.
template <typename T, typename Scan>
Result<std::vector<T>> scan_layer(const std::string& kx_dir, std::string_view layer,
                                  const Scan& scan) {
  std::vector<T> joined;
  KX_TRY(scan_shards<std::vector<T>>(kx_dir, layer, scan, [&](std::vector<T>&& part) {
    std::move(part.begin(), part.end(), std::back_inserter(joined));
  }));
  return joined;
}

bool any_member(const std::vector<std::string>& items, const StringSet& set) {
  return std::any_of(items.begin(), items.end(),
                     [&](const std::string& item) { return set.contains(item); });
}

// Calls fn(section) for each line of `bytes` that may hold a member of
// `screen` and parses as a Section.
template <typename Fn>
void for_each_section_holding(std::string_view bytes, const StringSet& screen, Fn&& fn) {
  for_each_line_holding(bytes, screen, [&](std::string_view line) {
    std::optional<Section> section = parse_section_line(line);
    if (section) fn(std::move(*section));
  });
}

// Ids of the authors named `author_name` exactly, in query order.
Result<std::vector<std::string>> author_ids_named(const std::string& kx_dir,
                                                  const std::string& author_name) {
  KX_ASSIGN_OR_RETURN(std::vector<Author> authors,
                      authors::query(kx_dir, author_name, std::nullopt));
  std::vector<std::string> ids;
  ids.reserve(authors.size());
  for (Author& author : authors) ids.push_back(std::move(author.id));
  return ids;
}

Status show_by_author_scan(const std::string& kx_dir, const std::string& author_name,
                           const DocumentSink& sink) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> ids, author_ids_named(kx_dir, author_name));
  if (ids.empty()) return {};
  KX_ASSIGN_OR_RETURN(std::vector<std::string> sections,
                      find_author_sections_parallel(kx_dir, ids));
  return find_documents_for_sections_each(kx_dir, sections, sink);
}

// Shards of a layer named by index.bin, by the value of their two hex digits.
using ShardSet = std::bitset<256>;

// Adds the shard references of every key to `shards`; token-line
// references and keys the index does not hold add nothing.
Status add_named_shards(const BinaryIndex& index, const std::vector<std::string>& keys,
                        ShardSet& shards) {
  for (const std::string& key : keys) {
    KX_ASSIGN_OR_RETURN(std::vector<IndexRef> refs, binary_index::lookup(index, key));
    for (const IndexRef& ref : refs)
      if (const ShardRef* shard = std::get_if<ShardRef>(&ref)) shards.set(shard->shard);
  }
  return {};
}

// Runs scan(bytes, out) over the named shards of a layer, one pool task per
// shard, each into an `Out` of its own (a container), and returns the
// outputs in shard order.  A missing or empty shard gives an empty output;
// one that exists but cannot be read fails the whole call (the first such
// shard in shard order gives the error).
template <typename Out, typename Scan>
Result<std::vector<Out>> scan_named_shards(const std::string& kx_dir, std::string_view layer,
                                           const ShardSet& shards, const Scan& scan) {
  const std::string dir = store_path(kx_dir, layer);
  std::vector<std::string> paths;
  for (unsigned shard = 0; shard < 256; ++shard) {
    if (!shards.test(shard)) continue;
    char name[3];
    snprintf(name, sizeof name, "%02x", shard);
    paths.push_back(path_join(dir, name));
  }
  auto per_file = parallel_map<Result<Out>>(paths.size(), [&](size_t i) -> Result<Out> {
    KX_ASSIGN_OR_RETURN(std::optional<FileBytes> bytes, read_file_bytes(paths[i]));
    Out out;
    if (bytes) scan(bytes->view(), out);
    return out;
  });
  std::vector<Out> outs;
  outs.reserve(per_file.size());
  for (auto& part : per_file) {
    if (!part) return fail(std::move(part).error());
    outs.push_back(std::move(*part));
  }
  return outs;
}

// Reads entries' lines of the merged files of one tokenizer at the byte
// ranges the binary index records.  Each merged file is opened at most once;
// ranges of one file that lie close together are read with one request.
class EntryLineReader {
 public:
  explicit EntryLineReader(std::string merged_dir) : dir_(std::move(merged_dir)) {}

  // The line of refs[i], or nullopt when its file is missing or empty or
  // does not reach the end of the range.  Fails when a merged file exists
  // but cannot be opened or read.
  Result<std::optional<std::string_view>> line(const std::vector<EntryRef>& refs, size_t i) {
    const EntryRef& ref = refs[i];
    KX_ASSIGN_OR_RETURN(const RangeReader* file, open(ref.file_id));
    if (!file || !fits(*file, ref)) return std::optional<std::string_view>();
    const uint64_t begin = ref.line_offset, end = begin + ref.line_length;
    if (chunk_file_ != ref.file_id || begin < chunk_begin_ || end > chunk_begin_ + chunk_.size()) {
      KX_TRY(read_chunk(*file, refs, i));
    }
    if (end > chunk_begin_ + chunk_.size()) return std::optional<std::string_view>();  // shrank
    return std::optional<std::string_view>(
        std::string_view(chunk_).substr(begin - chunk_begin_, ref.line_length));
  }

 private:
  // Ranges closer than this are read together rather than apart.
  static constexpr uint64_t kMaxGap = 4096;

  static bool fits(const RangeReader& file, const EntryRef& ref) {
    return uint64_t{ref.line_offset} + ref.line_length <= file.size();
  }

  // The merged file "<nnn>" of a file id; a missing or empty file is not
  // kept, so it is tried again for the next entry that names it.
  Result<const RangeReader*> open(uint16_t file_id) {
    auto it = files_.find(file_id);
    if (it != files_.end()) return &it->second;
    char name[8];
    snprintf(name, sizeof name, "%03u", static_cast<unsigned>(file_id));
    KX_ASSIGN_OR_RETURN(std::optional<RangeReader> file, RangeReader::open(path_join(dir_, name)));
    if (!file) return static_cast<const RangeReader*>(nullptr);
    return &files_.emplace(file_id, std::move(*file)).first->second;
  }

  // Reads the range of refs[i] together with the following ranges of the
  // same file that continue it in ascending order with small gaps.
  Status read_chunk(const RangeReader& file, const std::vector<EntryRef>& refs, size_t i) {
    const uint64_t begin = refs[i].line_offset;
    uint64_t end = begin + refs[i].line_length;
    for (size_t j = i + 1; j < refs.size(); ++j) {
      const EntryRef& next = refs[j];
      if (next.file_id != refs[i].file_id || next.line_offset < end ||
          next.line_offset - end > kMaxGap || !fits(file, next))
        break;
      end = uint64_t{next.line_offset} + next.line_length;
    }
    chunk_file_ = refs[i].file_id;
    chunk_begin_ = begin;
    return file.read_at(begin, static_cast<size_t>(end - begin), chunk_);
  }

  std::string dir_;
  std::map<uint16_t, RangeReader> files_;
  int chunk_file_ = -1;  // file id whose bytes chunk_ holds, -1 for none
  uint64_t chunk_begin_ = 0;
  std::string chunk_;
};

// The index path of tokens_of_sections: the entries of the index that list
// one of `sections` and are not revoked there, each parsed from its recorded
// byte range, in entry-id order.
Result<std::vector<TokenIndexEntry>> entries_through_index(const std::string& kx_dir,
                                                           const std::string& tokenizer,
                                                           const TokenBinIndex& index,
                                                           const std::set<std::string>& sections) {
  std::vector<EntryRef> refs;
  for (uint32_t id : index.lookup_by_sources(source_hashes_of(sections))) {
    std::optional<EntryRef> ref = index.get_entry_ref(id);
    if (ref && !ref->revoked) refs.push_back(*ref);
  }
  EntryLineReader reader(token_index::merged_dir(kx_dir, tokenizer));
  std::vector<TokenIndexEntry> entries;
  for (size_t i = 0; i < refs.size(); ++i) {
    KX_ASSIGN_OR_RETURN(std::optional<std::string_view> line, reader.line(refs, i));
    if (!line) continue;
    auto entry = parse_token_entry_line(*line);
    if (entry) entries.push_back(std::move(*entry));
  }
  return entries;
}

}  // namespace

Result<std::vector<std::string>> find_author_sections_parallel(
    const std::string& kx_dir, const std::vector<std::string>& author_ids) {
  const StringSet ids(author_ids);
  if (ids.empty()) return std::vector<std::string>{};
  return scan_layer<std::string>(
      kx_dir, kSectionsLayer, [&](std::string_view bytes, std::vector<std::string>& out) {
        for_each_section_holding(bytes, ids, [&](Section&& section) {
          if (any_member(section.authors, ids)) out.push_back(std::move(section.section_hash));
        });
      });
}

Result<std::vector<std::string>> find_license_sections_parallel(const std::string& kx_dir,
                                                                const std::string& license) {
  const StringSet screen({license});
  return scan_layer<std::string>(
      kx_dir, kSectionsLayer, [&](std::string_view bytes, std::vector<std::string>& out) {
        for_each_section_holding(bytes, screen, [&](Section&& section) {
          if (section.license == license) out.push_back(std::move(section.section_hash));
        });
      });
}

Result<std::vector<DocumentRecord>> find_documents_for_sections_parallel(
    const std::string& kx_dir, const std::vector<std::string>& section_hashes) {
  std::vector<DocumentRecord> records;
  KX_TRY(find_documents_for_sections_each(kx_dir, section_hashes, [&](DocumentBatch&& batch) {
    for (size_t i = 0; i < batch.size(); ++i) records.push_back(batch.record(i));
  }));
  return records;
}

Status find_documents_for_sections_each(const std::string& kx_dir,
                                        const std::vector<std::string>& section_hashes,
                                        const DocumentSink& sink) {
  return documents_listing_sections(kx_dir, StringSet(section_hashes), sink);
}

Status show_by_author(const std::string& kx_dir, const std::string& author_name,
                      const DocumentSink& sink) {
  // The index is opened only to choose the way; a damaged one fails the call.
  KX_ASSIGN_OR_RETURN(std::optional<BinaryIndex> index, binary_index::open(kx_dir));
  if (!index) return show_by_author_scan(kx_dir, author_name, sink);
  index.reset();
  return show_by_author_indexed(kx_dir, author_name, sink);
}

Status show_by_author_indexed(const std::string& kx_dir, const std::string& author_name,
                              const DocumentSink& sink) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> author_ids, author_ids_named(kx_dir, author_name));
  if (author_ids.empty()) return {};
  const StringSet ids(author_ids);
  KX_ASSIGN_OR_RETURN(std::optional<BinaryIndex> index, binary_index::open(kx_dir));
  if (!index) return fail_msg("binary index not found");

  ShardSet section_shards;
  KX_TRY(add_named_shards(*index, ids.items(), section_shards));
  KX_ASSIGN_OR_RETURN(
      std::vector<std::vector<std::string>> matched,
      (scan_named_shards<std::vector<std::string>>(
          kx_dir, kSectionsLayer, section_shards,
          [&](std::string_view bytes, std::vector<std::string>& out) {
            for_each_section_holding(bytes, ids, [&](Section&& section) {
              if (any_member(section.authors, ids)) out.push_back(std::move(section.section_hash));
            });
          })));
  std::vector<std::string> matched_hashes;
  for (auto& part : matched) std::move(part.begin(), part.end(), std::back_inserter(matched_hashes));
  const StringSet sections(matched_hashes);
  if (sections.empty()) return {};

  ShardSet document_shards;
  KX_TRY(add_named_shards(*index, sections.items(), document_shards));
  KX_ASSIGN_OR_RETURN(std::vector<DocumentBatch> batches,
                      (scan_named_shards<DocumentBatch>(
                          kx_dir, kDocumentsLayer, document_shards,
                          [&](std::string_view bytes, DocumentBatch& out) {
                            collect_documents_listing(bytes, sections, out);
                          })));
  for (DocumentBatch& batch : batches) sink(std::move(batch));
  return {};
}

Status show_by_section(const std::string& kx_dir, const std::string& section_hash,
                       const DocumentSink& sink) {
  return find_documents_for_sections_each(kx_dir, {section_hash}, sink);
}

Status show_by_license(const std::string& kx_dir, const std::string& license,
                       const DocumentSink& sink) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> sections,
                      find_license_sections_parallel(kx_dir, license));
  if (sections.empty()) return {};
  return find_documents_for_sections_each(kx_dir, sections, sink);
}

Result<TokenTotals> show_by_author_token(const std::string& kx_dir,
                                         const std::string& author_name,
                                         const std::string& tokenizer) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> ids, author_ids_named(kx_dir, author_name));
  if (ids.empty()) return TokenTotals{};
  KX_ASSIGN_OR_RETURN(std::vector<std::string> found, find_author_sections_parallel(kx_dir, ids));
  return tokens_of_sections(kx_dir, {found.begin(), found.end()}, tokenizer);
}

Result<TokenTotals> show_by_section_token(const std::string& kx_dir,
                                          const std::string& section_hash,
                                          const std::string& tokenizer) {
  return tokens_of_sections(kx_dir, {section_hash}, tokenizer);
}

Result<TokenTotals> show_by_license_token(const std::string& kx_dir, const std::string& license,
                                          const std::string& tokenizer) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> found,
                      find_license_sections_parallel(kx_dir, license));
  return tokens_of_sections(kx_dir, {found.begin(), found.end()}, tokenizer);
}

Result<TokenTotals> tokens_of_sections(const std::string& kx_dir,
                                       const std::set<std::string>& sections,
                                       const std::string& tokenizer) {
  TokenTotals result;
  // A name no writer accepts has no token-index files to read.
  if (sections.empty() || !is_valid_tokenizer_name(tokenizer)) return result;

  auto index = TokenBinIndex::open(kx_dir, tokenizer);
  if (index && index->has_value() && (*index)->is_fresh()) {
    KX_ASSIGN_OR_RETURN(result.entries, entries_through_index(kx_dir, tokenizer, **index, sections));
  } else {
    KX_ASSIGN_OR_RETURN(std::vector<TokenIndexEntry> entries,
                        token_index::find_entries_by_sources_fast(kx_dir, tokenizer, sections));
    for (TokenIndexEntry& entry : entries)
      if (!entry.revoked) result.entries.push_back(std::move(entry));
  }
  for (const TokenIndexEntry& entry : result.entries) result.total_tokens += entry.token_count;
  result.document_count = result.entries.size();
  return result;
}

}  // namespace kestrix
