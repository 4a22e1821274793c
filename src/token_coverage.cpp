// Records against token entries, counted per data file (token_coverage.h).
#include "token_coverage.h"

#include <map>

#include "indexer.h"
#include "lib.h"
#include "mmap_lines.h"
#include "records.h"
#include "storage.h"
#include "token_index.h"

namespace kestrix {
namespace {

using FileCounts = std::map<std::string, uint64_t, std::less<>>;

Result<FileCounts> records_per_file(const std::string& kx_dir) {
  FileCounts counts;
  KX_TRY(scan_shards<FileCounts>(
      kx_dir, "document-index",
      [](std::string_view bytes, FileCounts& out) {
        DocumentParts parts;
        DocumentRecord parsed;
        for_each_line(bytes, [&](std::string_view line) {
          if (!parse_document_parts(line, parts, parsed)) return;
          auto it = out.find(parts.file);
          if (it == out.end()) it = out.emplace(std::string(parts.file), 0).first;
          ++it->second;
        });
      },
      [&](FileCounts found) {
        for (const auto& [file, n] : found) counts[file] += n;
      }));
  return counts;
}

// Entries naming each file, in the merged and pid files of a tokenizer.
Result<FileCounts> entries_per_file(const std::string& kx_dir, const std::string& tokenizer) {
  KX_ASSIGN_OR_RETURN(auto merged, token_index::get_merged_files(kx_dir, tokenizer));
  KX_ASSIGN_OR_RETURN(auto paths, token_index::get_pid_files(kx_dir, tokenizer));
  for (auto& [number, path] : merged) paths.push_back(std::move(path));
  FileCounts counts;
  TokenEntryParts parts;
  TokenIndexEntry parsed;
  for (const std::string& path : paths) {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
    if (!bytes) continue;
    for_each_line(bytes->view(), [&](std::string_view line) {
      if (!parse_token_entry_parts(line, parts, parsed) || !parts.has_identity()) return;
      auto it = counts.find(parts.file);
      if (it == counts.end()) it = counts.emplace(std::string(parts.file), 0).first;
      ++it->second;
    });
  }
  return counts;
}

}  // namespace

Result<std::vector<MissingTokenEntries>> missing_token_entries(const std::string& kx_dir) {
  std::vector<MissingTokenEntries> missing;
  KX_ASSIGN_OR_RETURN(auto tokenizers, token_index::list_tokenizers(kx_dir));
  if (tokenizers.empty()) return missing;
  KX_ASSIGN_OR_RETURN(FileCounts records, records_per_file(kx_dir));
  for (const std::string& tokenizer : tokenizers) {
    KX_ASSIGN_OR_RETURN(FileCounts entries, entries_per_file(kx_dir, tokenizer));
    for (const auto& [file, held] : entries) {
      auto it = records.find(file);
      if (it != records.end() && it->second > held)
        missing.push_back({tokenizer, file, it->second, held});
    }
  }
  return missing;
}

}  // namespace kestrix
