// The purges: purge_revoked (lines of revoked sections and of the
// revoked-documents file), purge_by_author_indexed (lines of one revoked
// author, found through index.bin), and the command's purge_withdrawn (the
// lines of both kinds of revocation at once).  Each resolves a set of line
// hashes and hands it to purge_data_file (purge_rewrite.h), which archives
// and rewrites.
#include "purge.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <unordered_set>
#include <vector>

#include "authors.h"
#include "binary_index.h"
#include "fs.h"
#include "indexer.h"
#include "lib.h"
#include "mmap_lines.h"
#include "oplog.h"
#include "pool.h"
#include "purge_rewrite.h"
#include "recorded_file.h"
#include "records.h"
#include "storage.h"

namespace kestrix {
namespace {

// Line hashes of the records of the revoked-documents file.
Status add_revoked_documents(const std::string& kx_dir, std::vector<std::string>& hashes) {
  KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(store_path(kx_dir, "document-index/revoked/all")));
  if (!bytes) return {};
  for_each_json_line(bytes->view(), [&](Value value) {
    if (auto record = document_from_json(value)) hashes.push_back(std::move(record->line_hash));
  });
  return {};
}

// True when a sections line names a section of one of the authors.
bool names_author(const Value& value, const std::unordered_set<std::string>& ids) {
  const Array* authors = get_array(value, "authors");
  if (authors == nullptr || get_string(value, "section_hash") == nullptr) return false;
  for (const Value& a : *authors)
    if (a.as_string() != nullptr && ids.contains(*a.as_string())) return true;
  return false;
}

// The ids of the authors with a record marked revoked.
Result<std::unordered_set<std::string>> revoked_author_ids(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(std::vector<Author> all, authors::query(kx_dir, std::nullopt, std::nullopt));
  std::unordered_set<std::string> ids;
  for (const Author& author : all)
    if (author.revoked) ids.insert(author.id);
  return ids;
}

// Section hashes carrying a `revoked` mark of true anywhere in the layer,
// and those of sections that list one of `revoked_authors`.
Result<std::unordered_set<std::string>> revoked_sections(
    const std::string& kx_dir, const std::unordered_set<std::string>& revoked_authors) {
  std::unordered_set<std::string> sections;
  const std::string dir = store_path(kx_dir, "sections");
  if (!is_dir(dir)) return sections;
  KX_ASSIGN_OR_RETURN(std::vector<DirEntry> entries, list_dir(dir));
  for (const DirEntry& entry : entries) {
    auto info = stat_path(entry.path);
    if (!info || !info->regular) continue;
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(entry.path));
    if (!bytes) continue;
    for_each_json_line(bytes->view(), [&](Value value) {
      const Value* mark = value.get("revoked");
      const std::string* hash = get_string(value, "section_hash");
      if (mark != nullptr && mark->as_bool() != nullptr && *mark->as_bool() && hash != nullptr)
        sections.insert(*hash);
      else if (!revoked_authors.empty() && names_author(value, revoked_authors))
        sections.insert(*hash);
    });
  }
  return sections;
}

// Line hashes of the document records listing a revoked section.
Status add_documents_of_sections(const std::string& kx_dir,
                                 const std::unordered_set<std::string>& sections,
                                 std::vector<std::string>& hashes) {
  const StringSet wanted(std::vector<std::string>(sections.begin(), sections.end()));
  return documents_listing_sections(kx_dir, wanted, [&](DocumentBatch&& records) {
    for (size_t i = 0; i < records.size(); ++i) hashes.emplace_back(records.line_hash(i));
  });
}

// Every line hash purge_revoked removes (some maybe more than once).
Result<std::vector<std::string>> revoked_line_hashes(const std::string& kx_dir) {
  std::vector<std::string> hashes;
  KX_TRY(add_revoked_documents(kx_dir, hashes));
  KX_ASSIGN_OR_RETURN(auto sections, revoked_sections(kx_dir, {}));
  if (!sections.empty()) KX_TRY(add_documents_of_sections(kx_dir, sections, hashes));
  return hashes;
}

// The line hashes a purge of `data_file` removes, given the withdrawn
// records (`withdrawn`, of every file): a line is withdrawn in the data
// file when one of its records for that file is; a line with no record for
// the file (a file derived from tracked ones, say) falls back on its
// content, withdrawn when a record of any file is.  So a line the file drew
// from a source still in use stays, although the same text was withdrawn
// elsewhere.
Result<std::vector<std::string>> withdrawn_in_file(const std::string& kx_dir,
                                                   const std::string& data_file,
                                                   const DocumentBatch& withdrawn) {
  RecordedFile file(kx_dir, data_file);
  std::unordered_set<std::string> here, elsewhere;
  for (size_t i = 0; i < withdrawn.size(); ++i) {
    const std::string hash(withdrawn.line_hash(i));
    (file.named_by(withdrawn.file(i)) ? here : elsewhere).insert(hash);
  }
  for (const std::string& hash : here) elsewhere.erase(hash);
  std::set<std::string> shards;
  for (const std::string& hash : elsewhere)
    if (hash.size() >= 2) shards.insert(hash.substr(0, 2));
  // Of the lines withdrawn elsewhere only, those the file has records of.
  for (const std::string& shard : shards) {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(store_path(kx_dir, "document-index/" + shard)));
    if (!bytes) continue;
    LineCursor cursor(bytes->view());
    for (Line line; cursor.next(line);) {
      auto record = parse_document_line(line.text);
      if (record && elsewhere.contains(record->line_hash) && file.named_by(record->file))
        elsewhere.erase(record->line_hash);
    }
  }
  std::vector<std::string> hashes(here.begin(), here.end());
  hashes.insert(hashes.end(), elsewhere.begin(), elsewhere.end());
  return hashes;
}

// The records listing a withdrawn section: a revoked one, or one of a
// revoked author.
Result<DocumentBatch> withdrawn_records(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(auto authors, revoked_author_ids(kx_dir));
  KX_ASSIGN_OR_RETURN(auto sections, revoked_sections(kx_dir, authors));
  DocumentBatch records;
  if (sections.empty()) return records;
  const StringSet wanted(std::vector<std::string>(sections.begin(), sections.end()));
  KX_TRY(documents_listing_sections(kx_dir, wanted, [&](DocumentBatch&& batch) {
    for (size_t i = 0; i < batch.size(); ++i) {
      DocumentParts parts{batch.line_hash(i), batch.file(i), {}};
      records.add(parts);
    }
  }));
  return records;
}

std::string purge_detail(uint64_t purged, const std::string& data_file) {
  return "purged " + std::to_string(purged) + " lines from " + quote_path(data_file);
}

// The "purge" entry, written once the data file was replaced.
Status log_purge(const std::string& kx_dir, const std::string& data_file, uint64_t purged,
                 const std::string& detail) {
  Status logged = oplog::append(kx_dir, "purge", detail);
  if (!logged) return fail(purged_but_not_logged(std::move(logged).error(), data_file, purged));
  return {};
}

// The two-hex-digit shard names the index gives for `keys`, ascending.
Result<std::set<std::string>> shards_named_for(const BinaryIndex& index,
                                               const std::vector<std::string>& keys) {
  std::set<std::string> names;
  for (const std::string& key : keys) {
    KX_ASSIGN_OR_RETURN(std::vector<IndexRef> refs, binary_index::lookup(index, key));
    for (const IndexRef& ref : refs)
      if (auto name = ref_shard_name(ref)) names.insert(std::move(*name));
  }
  return names;
}

}  // namespace

namespace {

// The document records listing a section of an author named `author_name`,
// found through index.bin (see resolve_author_line_hashes).
Result<DocumentBatch> author_records(const std::string& kx_dir, const std::string& author_name) {
  KX_ASSIGN_OR_RETURN(std::vector<Author> found, authors::query(kx_dir, author_name, std::nullopt));
  DocumentBatch records;
  if (found.empty()) return records;
  std::vector<std::string> ids;
  std::unordered_set<std::string> id_set;
  for (const Author& author : found) {
    ids.push_back(author.id);
    id_set.insert(author.id);
  }
  KX_ASSIGN_OR_RETURN(auto opened, binary_index::open(kx_dir));
  if (!opened) return fail_msg("binary index not found, run `kx index build` first");
  const BinaryIndex& index = *opened;

  KX_ASSIGN_OR_RETURN(auto section_shards, shards_named_for(index, ids));
  std::vector<std::string> patterns;
  for (const std::string& id : ids)
    if (!id.empty()) patterns.push_back(id);
  std::unordered_set<std::string> sections;
  for (const std::string& shard : section_shards) {
    KX_ASSIGN_OR_RETURN(std::vector<Value> values,
                        scan_lines_matching(store_path(kx_dir, "sections/" + shard), patterns));
    for (const Value& value : values)
      if (names_author(value, id_set)) sections.insert(*get_string(value, "section_hash"));
  }
  if (sections.empty()) return records;

  std::vector<std::string> section_list(sections.begin(), sections.end());
  KX_ASSIGN_OR_RETURN(auto document_shards, shards_named_for(index, section_list));
  const StringSet section_set(section_list);
  for (const std::string& shard : document_shards) {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(store_path(kx_dir, "document-index/" + shard)));
    if (bytes) collect_documents_listing(bytes->view(), section_set, records);
  }
  return records;
}

}  // namespace

Result<std::vector<std::string>> resolve_author_line_hashes(const std::string& kx_dir,
                                                            const std::string& author_name) {
  KX_ASSIGN_OR_RETURN(DocumentBatch records, author_records(kx_dir, author_name));
  std::vector<std::string> line_hashes;
  for (size_t i = 0; i < records.size(); ++i) line_hashes.emplace_back(records.line_hash(i));
  return line_hashes;
}

Result<std::vector<std::string>> author_line_hashes_in_file(const std::string& kx_dir,
                                                            const std::string& author_name,
                                                            const std::string& data_file) {
  KX_ASSIGN_OR_RETURN(DocumentBatch records, author_records(kx_dir, author_name));
  return withdrawn_in_file(kx_dir, data_file, records);
}

Result<PurgeStats> purge_revoked(const std::string& kx_dir, const std::string& data_file,
                                 bool dry_run) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> revoked, revoked_line_hashes(kx_dir));
  const PurgeMode mode = dry_run ? PurgeMode::kDryRun : PurgeMode::kNormal;
  KX_ASSIGN_OR_RETURN(PurgeStats stats, purge_data_file(kx_dir, data_file, revoked, mode));
  if (dry_run) return stats;
  KX_TRY(log_purge(kx_dir, data_file, stats.purged, purge_detail(stats.purged, data_file)));
  return stats;
}

Result<std::vector<std::string>> revoked_document_hashes(const std::string& kx_dir) {
  std::vector<std::string> hashes;
  KX_TRY(add_revoked_documents(kx_dir, hashes));
  return hashes;
}

Result<std::vector<std::string>> withdrawn_line_hashes(const std::string& kx_dir,
                                                       const std::string& data_file) {
  std::vector<std::string> hashes;
  KX_TRY(add_revoked_documents(kx_dir, hashes));
  KX_ASSIGN_OR_RETURN(DocumentBatch records, withdrawn_records(kx_dir));
  KX_ASSIGN_OR_RETURN(std::vector<std::string> in_file, withdrawn_in_file(kx_dir, data_file, records));
  hashes.insert(hashes.end(), in_file.begin(), in_file.end());
  return hashes;
}

Result<PurgeStats> purge_withdrawn(const std::string& kx_dir, const std::string& data_file,
                                   bool dry_run, std::optional<int> level) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> revoked, withdrawn_line_hashes(kx_dir, data_file));
  const PurgeMode mode = dry_run ? PurgeMode::kDryRun : PurgeMode::kExact;
  KX_ASSIGN_OR_RETURN(PurgeStats stats,
                      purge_data_file(kx_dir, data_file, revoked, mode, CompressedFiles{true, level}));
  if (dry_run) return stats;
  KX_TRY(log_purge(kx_dir, data_file, stats.purged, purge_detail(stats.purged, data_file)));
  return stats;
}

namespace {

// purge_by_author_indexed, writing the data file in `mode` when not a dry
// run.
Result<PurgeStats> purge_author(const std::string& kx_dir, const std::string& author_name,
                                const std::string& data_file, bool dry_run, PurgeMode mode,
                                const CompressedFiles& compressed) {
  KX_ASSIGN_OR_RETURN(std::vector<Author> found, authors::query(kx_dir, author_name, std::nullopt));
  bool any_revoked = false;
  for (const Author& author : found) any_revoked = any_revoked || author.revoked;
  if (!any_revoked)
    return fail_msg("author '" + author_name + "' is not revoked. Revoke first with `kx revoke --author '" +
                    author_name + "'` before purging.");
  KX_ASSIGN_OR_RETURN(DocumentBatch records, author_records(kx_dir, author_name));
  std::vector<std::string> hashes;
  for (size_t i = 0; i < records.size(); ++i) hashes.emplace_back(records.line_hash(i));
  if (dry_run) {
    KX_TRY(check_line_text(data_file, true, compressed.read));
    std::sort(hashes.begin(), hashes.end());
    const auto distinct = std::unique(hashes.begin(), hashes.end()) - hashes.begin();
    return PurgeStats{static_cast<uint64_t>(distinct), 0, 0};
  }
  // The command's purge decides by the data file's own records.
  if (mode == PurgeMode::kExact) {
    KX_ASSIGN_OR_RETURN(hashes, withdrawn_in_file(kx_dir, data_file, records));
  }
  KX_ASSIGN_OR_RETURN(PurgeStats stats, purge_data_file(kx_dir, data_file, hashes, mode, compressed));
  KX_TRY(log_purge(kx_dir, data_file, stats.purged,
                   purge_detail(stats.purged, data_file) + " (indexed, author=" + author_name + ")"));
  return stats;
}

}  // namespace

Result<PurgeStats> purge_by_author_indexed(const std::string& kx_dir,
                                           const std::string& author_name,
                                           const std::string& data_file, bool dry_run) {
  return purge_author(kx_dir, author_name, data_file, dry_run, PurgeMode::kNormal, {});
}

Result<PurgeStats> purge_by_author_exact(const std::string& kx_dir, const std::string& author_name,
                                         const std::string& data_file, bool dry_run,
                                         std::optional<int> level) {
  return purge_author(kx_dir, author_name, data_file, dry_run, PurgeMode::kExact,
                      CompressedFiles{true, level});
}

}  // namespace kestrix
