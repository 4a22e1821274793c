// Aggregates of a store report (see report.h).
#include "report.h"

#include <algorithm>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "indexer.h"
#include "mmap_lines.h"
#include "records.h"
#include "storage.h"
#include "token_index.h"

namespace kestrix::report {
namespace {

using Sections = std::vector<std::string>;
using FileSections = std::pair<std::string, Sections>;
using DocumentCounts = absl::flat_hash_map<FileSections, uint64_t>;

Sections distinct_sorted(std::vector<std::string>&& sources) {
  std::sort(sources.begin(), sources.end());
  sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
  return std::move(sources);
}

// One shard's records counted by (file, sections): the shard's partial map,
// handed to the calling thread as its only element.
void count_shard(std::string_view bytes, std::vector<DocumentCounts>& out) {
  DocumentCounts counts;
  for_each_line(bytes, [&](std::string_view line) {
    std::optional<DocumentRecord> record = parse_document_line(line);
    if (!record) return;
    ++counts[FileSections{std::move(record->file), distinct_sorted(std::move(record->sources))}];
  });
  out.push_back(std::move(counts));
}

Result<std::vector<DocumentGroup>> document_groups(const std::string& kx_dir) {
  DocumentCounts total;
  KX_TRY(scan_shards<DocumentCounts>(kx_dir, "document-index", count_shard,
                                     [&](std::vector<DocumentCounts>&& shard) {
                                       for (auto& [key, n] : shard.front()) total[key] += n;
                                     }));
  std::vector<DocumentGroup> groups;
  groups.reserve(total.size());
  for (auto& [key, n] : total) groups.push_back({key.first, key.second, n});
  std::sort(groups.begin(), groups.end(), [](const DocumentGroup& a, const DocumentGroup& b) {
    return std::tie(a.file, a.sections) < std::tie(b.file, b.sections);
  });
  return groups;
}

Result<std::vector<TokenGroup>> token_groups(const std::string& kx_dir, const std::string& tokenizer) {
  absl::flat_hash_map<Sections, TokenGroup> by_sections;
  KX_TRY(token_index::for_each_merged_entry(kx_dir, tokenizer, [&](TokenIndexEntry&& entry) {
    TokenGroup& g = by_sections[distinct_sorted(std::move(entry.sources))];
    if (entry.revoked) {
      ++g.revoked_entries;
      g.revoked_tokens += entry.token_count;
    } else {
      ++g.active_entries;
      g.active_tokens += entry.token_count;
    }
  }));
  std::vector<TokenGroup> groups;
  groups.reserve(by_sections.size());
  for (auto& [sections, g] : by_sections) {
    g.sections = sections;
    groups.push_back(std::move(g));
  }
  std::sort(groups.begin(), groups.end(),
            [](const TokenGroup& a, const TokenGroup& b) { return a.sections < b.sections; });
  return groups;
}

}  // namespace

Result<Aggregates> aggregates(const std::string& kx_dir) {
  Aggregates a;
  KX_ASSIGN_OR_RETURN(a.documents, document_groups(kx_dir));
  KX_ASSIGN_OR_RETURN(std::vector<std::string> names, token_index::list_tokenizers(kx_dir));
  for (std::string& name : names) {
    KX_ASSIGN_OR_RETURN(std::vector<TokenGroup> groups, token_groups(kx_dir, name));
    a.tokenizers.push_back({std::move(name), std::move(groups)});
  }
  return a;
}

}  // namespace kestrix::report
