// The document index: the `document-index` layer mapping line hashes to the
// data file and sources a line was recorded under.  Each record is one line
// {"file","line_hash","revoked":false,"sources"} (sorted keys) appended in one
// write to the shard named by the line hash's first two bytes.  Readers accept
// an object holding line_hash, file and sources (other members ignored) or a
// three-element array in that order.  Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "json.h"
#include "line_filter.h"

namespace kestrix {

struct DocumentRecord {
  std::string line_hash;
  std::string file;
  std::vector<std::string> sources;
};

// The members of a record as views, into a line or a DocumentRecord.
struct DocumentParts {
  std::string_view line_hash;
  std::string_view file;
  std::vector<std::string_view> sources;
};

// Document records in compact form: the strings of all records back to back
// in one buffer, so that a shard's records cost a few allocations rather
// than several each.  Queries collect and hand over records in batches.
class DocumentBatch {
 public:
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void add(const DocumentParts& parts);
  std::string_view line_hash(size_t i) const { return text(entries_[i].line_hash); }
  std::string_view file(size_t i) const { return text(entries_[i].file); }
  size_t source_count(size_t i) const { return entries_[i].source_count; }
  std::string_view source(size_t i, size_t k) const {
    return text(sources_[entries_[i].first_source + k]);
  }
  DocumentRecord record(size_t i) const;
  // Empties the batch and keeps its memory for the next records.
  void clear();

 private:
  struct Span {
    size_t offset, size;
  };
  struct Entry {
    Span line_hash, file;
    size_t first_source, source_count;
  };
  std::string_view text(Span s) const { return std::string_view(text_).substr(s.offset, s.size); }
  Span keep(std::string_view s);

  std::string text_;
  std::vector<Span> sources_;
  std::vector<Entry> entries_;
};

// {"file","line_hash","sources"} as a JSON object.
Value document_to_json(const DocumentRecord& record);
// From an object holding the three members, or a three-element array.
std::optional<DocumentRecord> document_from_json(const Value& value);

// Appends the stored line of a new record (with its line feed) to `out`.
void append_document_line(std::string& out, std::string_view line_hash, std::string_view file,
                          const std::vector<std::string>& sources);
// Path of the shard a writer appends the record of `line_hash` to; refuses a
// hash shorter than two bytes or whose first two bytes would leave the layer.
Result<std::string> document_shard_for_write(const std::string& kx_dir,
                                             std::string_view line_hash);

Status index_document(const std::string& kx_dir, const std::string& line_hash,
                      const std::string& file, const std::vector<std::string>& sources);
// Records whose line_hash equals `line_hash` exactly, in shard order.
Result<std::vector<DocumentRecord>> lookup_document(const std::string& kx_dir,
                                                    const std::string& line_hash);
// Appends to `out` the records among the lines of `bytes` (one shard) that
// list a member of `sections`, in line order.
void collect_documents_listing(std::string_view bytes, const StringSet& sections,
                               DocumentBatch& out);
// The records of every shard of the layer that list a member of `sections`:
// sink(records) receives each shard's records on the calling thread, in
// listing order, while the pool reads later shards.  A shard that cannot be
// read fails the call; the shards before it have been handed on.
Status documents_listing_sections(const std::string& kx_dir, const StringSet& sections,
                                  const std::function<void(DocumentBatch&&)>& sink);

// The data files the layer's records name, each once with the number of
// records naming it, sorted by name (byte order).
struct DataFileRecords {
  std::string file;
  uint64_t records = 0;
};
Result<std::vector<DataFileRecords>> document_files(const std::string& kx_dir);

// Those of `files` that some record of the layer names, sorted: one pass
// over the layer that parses only the lines that may name one of them.
Result<std::vector<std::string>> files_with_records(const std::string& kx_dir,
                                                    const std::vector<std::string>& files);

// Every stored line of the layer that is a valid record, unchanged.
Result<std::vector<Value>> read_all_documents(const std::string& kx_dir);

}  // namespace kestrix
