// Document records: the stored line, its typed view, the append of one record
// and the lookups by line hash.
#include "indexer.h"

#include <algorithm>
#include <mutex>


#include "fs.h"
#include "hash_tables.h"
#include "line_filter.h"
#include "mmap_lines.h"
#include "records.h"
#include "storage.h"

namespace kestrix {
namespace {

constexpr std::string_view kLayer = "document-index";

std::optional<DocumentRecord> document_from_parts(const Value* hash, const Value* file,
                                                  const Value* sources) {
  if (!hash || !file || !sources || !hash->is_string() || !file->is_string()) return std::nullopt;
  DocumentRecord record{*hash->as_string(), *file->as_string(), {}};
  if (!string_list(*sources, record.sources)) return std::nullopt;
  return record;
}

}  // namespace

Value document_to_json(const DocumentRecord& record) {
  Array sources;
  sources.reserve(record.sources.size());
  for (const auto& s : record.sources) sources.emplace_back(s);
  Object object;
  object.push_sorted("file", Value(record.file));
  object.push_sorted("line_hash", Value(record.line_hash));
  object.push_sorted("sources", Value(std::move(sources)));
  return Value(std::move(object));
}

std::optional<DocumentRecord> document_from_json(const Value& value) {
  if (const Array* items = value.as_array()) {
    if (items->size() != 3) return std::nullopt;
    return document_from_parts(&(*items)[0], &(*items)[1], &(*items)[2]);
  }
  if (!value.is_object()) return std::nullopt;
  return document_from_parts(value.get("line_hash"), value.get("file"), value.get("sources"));
}

void append_document_line(std::string& out, std::string_view line_hash, std::string_view file,
                          const std::vector<std::string>& sources) {
  // Keys in byte order, so the line is the canonical text of the object.
  JsonWriter w(out);
  w.begin_object();
  w.key("file").string(file);
  w.key("line_hash").string(line_hash);
  w.key("revoked").boolean(false);
  w.key("sources").string_array(sources);
  w.end_object();
  out += '\n';
}

Result<std::string> document_shard_for_write(const std::string& kx_dir,
                                             std::string_view line_hash) {
  return shard_path_for_write(kx_dir, kLayer, line_hash);
}

Status index_document(const std::string& kx_dir, const std::string& line_hash,
                      const std::string& file, const std::vector<std::string>& sources) {
  KX_ASSIGN_OR_RETURN(std::string shard, document_shard_for_write(kx_dir, line_hash));
  std::string line;
  line.reserve(128 + file.size() + 68 * sources.size());
  append_document_line(line, line_hash, file, sources);
  return append_to_file(shard, line);
}

Result<std::vector<DocumentRecord>> lookup_document(const std::string& kx_dir,
                                                    const std::string& line_hash) {
  KX_ASSIGN_OR_RETURN(std::string shard, shard_path(kx_dir, kLayer, line_hash));
  // No writer creates a shard whose name leaves the layer, so such a hash
  // has no records; reading the path would look outside the store.
  if (!is_safe_shard_name(std::string_view(line_hash).substr(0, 2)))
    return std::vector<DocumentRecord>{};
  KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(shard));
  std::vector<DocumentRecord> found;
  if (!bytes) return found;
  for_each_line_holding(bytes->view(), StringSet({line_hash}), [&](std::string_view line) {
    auto value = parse_json(line);
    if (!value) return;
    auto record = document_from_json(*value);
    if (record && record->line_hash == line_hash) found.push_back(std::move(*record));
  });
  return found;
}

void DocumentBatch::add(const DocumentParts& parts) {
  Entry entry{keep(parts.line_hash), keep(parts.file), sources_.size(), parts.sources.size()};
  for (std::string_view source : parts.sources) sources_.push_back(keep(source));
  entries_.push_back(entry);
}

DocumentBatch::Span DocumentBatch::keep(std::string_view s) {
  Span span{text_.size(), s.size()};
  text_.append(s);
  return span;
}

void DocumentBatch::clear() {
  text_.clear();
  sources_.clear();
  entries_.clear();
}

DocumentRecord DocumentBatch::record(size_t i) const {
  DocumentRecord record{std::string(line_hash(i)), std::string(file(i)), {}};
  record.sources.reserve(source_count(i));
  for (size_t k = 0; k < source_count(i); ++k) record.sources.emplace_back(source(i, k));
  return record;
}

void collect_documents_listing(std::string_view bytes, const StringSet& sections,
                               DocumentBatch& out) {
  DocumentParts parts;
  DocumentRecord parsed;  // what parts point into when the general parser read the line
  for_each_line_holding(bytes, sections, [&](std::string_view line) {
    if (!parse_document_parts(line, parts, parsed)) return;
    for (std::string_view source : parts.sources) {
      if (sections.contains(source)) {
        out.add(parts);
        return;
      }
    }
  });
}

Status documents_listing_sections(const std::string& kx_dir, const StringSet& sections,
                                  const std::function<void(DocumentBatch&&)>& sink) {
  if (sections.empty()) return {};
  // Batches the sink is done with are filled again: memory freed to the
  // system between shards (which the allocator does with the large blocks
  // workers free) would cost a page fault per page for the next batch.
  std::mutex spare_lock;
  std::vector<DocumentBatch> spare;
  return scan_shards<DocumentBatch>(
      kx_dir, kLayer,
      [&](std::string_view bytes, DocumentBatch& out) {
        {
          std::lock_guard lock(spare_lock);
          if (!spare.empty()) {
            out = std::move(spare.back());
            spare.pop_back();
          }
        }
        collect_documents_listing(bytes, sections, out);
      },
      [&](DocumentBatch&& batch) {
        sink(std::move(batch));
        batch.clear();
        std::lock_guard lock(spare_lock);
        spare.push_back(std::move(batch));
      });
}

Result<std::vector<DataFileRecords>> document_files(const std::string& kx_dir) {
  FlatMap<std::string, uint64_t> counts;
  KX_TRY(scan_shards<std::vector<DataFileRecords>>(
      kx_dir, kLayer,
      [](std::string_view bytes, std::vector<DataFileRecords>& out) {
        FlatMap<std::string, uint64_t> shard_counts;
        for_each_line(bytes, [&](std::string_view line) {
          std::optional<DocumentRecord> record = parse_document_line(line);
          if (record) ++shard_counts[record->file];
        });
        for (auto& [file, records] : shard_counts) out.push_back({file, records});
      },
      [&](std::vector<DataFileRecords>&& shard) {
        for (DataFileRecords& f : shard) counts[std::move(f.file)] += f.records;
      }));
  std::vector<DataFileRecords> files;
  files.reserve(counts.size());
  for (auto& [file, records] : counts) files.push_back({file, records});
  std::sort(files.begin(), files.end(),
            [](const DataFileRecords& a, const DataFileRecords& b) { return a.file < b.file; });
  return files;
}

Result<std::vector<std::string>> files_with_records(const std::string& kx_dir,
                                                    const std::vector<std::string>& files) {
  const StringSet wanted(files);
  FlatSet<std::string> found;
  KX_TRY(scan_shards<std::vector<std::string>>(
      kx_dir, kLayer,
      [&](std::string_view bytes, std::vector<std::string>& out) {
        FlatSet<std::string> named;
        for_each_line_holding(bytes, wanted, [&](std::string_view line) {
          std::optional<DocumentRecord> record = parse_document_line(line);
          if (record && wanted.contains(record->file)) named.insert(std::move(record->file));
        });
        out.assign(named.begin(), named.end());
      },
      [&](std::vector<std::string>&& shard) {
        for (std::string& file : shard) found.insert(std::move(file));
      }));
  std::vector<std::string> sorted(found.begin(), found.end());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

Result<std::vector<Value>> read_all_documents(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(auto values, shard_iterate_all(kx_dir, kLayer));
  std::vector<Value> kept;
  kept.reserve(values.size());
  for (auto& value : values)
    if (document_from_json(value)) kept.push_back(std::move(value));
  return kept;
}

}  // namespace kestrix
