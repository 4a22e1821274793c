// Aggregates of a store report (see report.h).
#include "report.h"

#include <algorithm>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "indexer.h"
#include "mmap_lines.h"
#include "records.h"
#include "storage.h"
#include "store_view.h"
#include "token_index.h"

namespace kestrix::report {
namespace {

struct SectionInfo {
  std::string license;
  std::vector<std::string> authors;
  bool withdrawn = false;
};

using Tally = absl::flat_hash_map<std::string, std::pair<uint64_t, uint64_t>>;

// The sections of the store with what a record drawn from them counts
// under, and the filters resolved to them.
class Sections {
 public:
  static Result<Sections> load(const std::string& kx_dir, const Filter& filter) {
    Sections s;
    KX_ASSIGN_OR_RETURN(std::vector<store_view::SectionState> all, store_view::sections(kx_dir));
    KX_ASSIGN_OR_RETURN(std::vector<store_view::Withdrawal> withdrawn,
                        store_view::withdrawn_sections(kx_dir));
    for (const store_view::SectionState& state : all) {
      SectionInfo& info = s.known_[state.section_hash];
      if (const std::string* license = get_string(state.record, "license")) info.license = *license;
      info.authors = store_view::section_author_ids(state);
    }
    for (const store_view::Withdrawal& w : withdrawn) s.known_[w.section_hash].withdrawn = true;
    s.set_filters(filter);
    return s;
  }

  // What one record or entry draws from: its distinct sources, licenses and
  // authors, whether any source is withdrawn, and whether it passes the
  // filters (the license and author filters may be met by two sources).
  struct Drawn {
    std::vector<std::string> sources, licenses, authors;
    bool withdrawn = false;
    bool selected = true;
  };
  void resolve(std::vector<std::string>&& sources, Drawn& d) const {
    d.sources = std::move(sources);
    dedupe(d.sources);
    d.licenses.clear();
    d.authors.clear();
    d.withdrawn = false;
    bool any_license = !filter_licenses_, any_author = !filter_authors_;
    for (const std::string& hash : d.sources) {
      auto it = known_.find(hash);
      if (it == known_.end()) continue;
      const SectionInfo& info = it->second;
      d.withdrawn = d.withdrawn || info.withdrawn;
      d.licenses.push_back(info.license);
      d.authors.insert(d.authors.end(), info.authors.begin(), info.authors.end());
      any_license = any_license || license_hit_.contains(hash);
      any_author = any_author || author_hit_.contains(hash);
    }
    dedupe(d.licenses);
    dedupe(d.authors);
    d.selected = any_license && any_author;
  }

 private:
  void set_filters(const Filter& filter) {
    filter_licenses_ = filter.licenses.has_value();
    filter_authors_ = filter.author_ids.has_value();
    for (const auto& [hash, info] : known_) {
      if (filter.licenses && filter.licenses->contains(info.license)) license_hit_.insert(hash);
      if (filter.author_ids && std::any_of(info.authors.begin(), info.authors.end(),
                                           [&](const std::string& id) { return filter.author_ids->contains(id); }))
        author_hit_.insert(hash);
    }
  }

  static void dedupe(std::vector<std::string>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
  }
  absl::flat_hash_map<std::string, SectionInfo> known_;
  absl::flat_hash_set<std::string> license_hit_, author_hit_;
  bool filter_licenses_ = false, filter_authors_ = false;
};

void add(Tally& tally, const std::string& key, uint64_t total, uint64_t withdrawn) {
  auto& counts = tally[key];
  counts.first += total;
  counts.second += withdrawn;
}

void merge_into(Tally& into, Tally&& from) {
  for (auto& [key, counts] : from) add(into, key, counts.first, counts.second);
}

std::vector<Count> sorted_counts(const Tally& tally) {
  std::vector<Count> out;
  out.reserve(tally.size());
  for (const auto& [key, counts] : tally) out.push_back({key, counts.first, counts.second});
  std::sort(out.begin(), out.end(), [](const Count& a, const Count& b) { return a.key < b.key; });
  return out;
}

struct FilePartial {
  uint64_t records = 0;
  uint64_t withdrawn = 0;
  Tally sections;
};

// One shard's tally (or, merged, the whole layer's).
struct DocumentPartial {
  absl::flat_hash_map<std::string, FilePartial> files;
  Tally licenses, authors;
};

void count_documents(std::string_view bytes, const Sections& sections, const Filter& filter,
                     DocumentPartial& out) {
  Sections::Drawn d;
  for_each_line(bytes, [&](std::string_view line) {
    std::optional<DocumentRecord> record = parse_document_line(line);
    if (!record || (filter.files && !filter.files->contains(record->file))) return;
    sections.resolve(std::move(record->sources), d);
    if (!d.selected) return;
    const uint64_t w = d.withdrawn ? 1 : 0;
    FilePartial& f = out.files[record->file];
    ++f.records;
    f.withdrawn += w;
    for (const std::string& s : d.sources) add(f.sections, s, 1, w);
    for (const std::string& l : d.licenses) add(out.licenses, l, 1, w);
    for (const std::string& a : d.authors) add(out.authors, a, 1, w);
  });
}

Status tally_documents(const std::string& kx_dir, const Sections& sections, const Filter& filter,
                       Aggregates& a) {
  DocumentPartial total;
  KX_TRY(scan_shards<DocumentPartial>(
      kx_dir, "document-index",
      [&](std::string_view bytes, DocumentPartial& out) { count_documents(bytes, sections, filter, out); },
      [&](DocumentPartial&& part) {
        for (auto& [file, f] : part.files) {
          FilePartial& into = total.files[file];
          into.records += f.records;
          into.withdrawn += f.withdrawn;
          merge_into(into.sections, std::move(f.sections));
        }
        merge_into(total.licenses, std::move(part.licenses));
        merge_into(total.authors, std::move(part.authors));
      }));
  for (auto& [file, f] : total.files)
    a.files.push_back({file, f.records, f.withdrawn, sorted_counts(f.sections)});
  std::sort(a.files.begin(), a.files.end(),
            [](const FileTally& x, const FileTally& y) { return x.file < y.file; });
  a.licenses = sorted_counts(total.licenses);
  a.authors = sorted_counts(total.authors);
  return {};
}

Result<TokenTally> tally_tokens(const std::string& kx_dir, const std::string& tokenizer,
                                const Sections& sections) {
  TokenTally t{tokenizer};
  Tally by_section, by_license, by_author;
  Sections::Drawn d;
  KX_TRY(token_index::for_each_merged_entry(kx_dir, tokenizer, [&](TokenIndexEntry&& entry) {
    sections.resolve(std::move(entry.sources), d);
    if (!d.selected) return;
    const uint64_t active = entry.revoked ? 0 : entry.token_count;
    const uint64_t revoked = entry.revoked ? entry.token_count : 0;
    (entry.revoked ? t.revoked_entries : t.active_entries) += 1;
    t.active_tokens += active;
    t.revoked_tokens += revoked;
    if (d.withdrawn) t.active_withdrawn_tokens += active;
    for (const std::string& s : d.sources) add(by_section, s, active, revoked);
    for (const std::string& l : d.licenses) add(by_license, l, active, revoked);
    for (const std::string& a : d.authors) add(by_author, a, active, revoked);
  }));
  t.sections = sorted_counts(by_section);
  t.licenses = sorted_counts(by_license);
  t.authors = sorted_counts(by_author);
  return t;
}

}  // namespace

Result<Aggregates> aggregates(const std::string& kx_dir, const Filter& filter) {
  KX_ASSIGN_OR_RETURN(Sections sections, Sections::load(kx_dir, filter));
  Aggregates a;
  KX_TRY(tally_documents(kx_dir, sections, filter, a));
  KX_ASSIGN_OR_RETURN(std::vector<std::string> names, token_index::list_tokenizers(kx_dir));
  for (const std::string& name : names) {
    KX_ASSIGN_OR_RETURN(TokenTally t, tally_tokens(kx_dir, name, sections));
    a.tokenizers.push_back(std::move(t));
  }
  return a;
}

}  // namespace kestrix::report
