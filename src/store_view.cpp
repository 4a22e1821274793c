// Read-only views of a store for the front end (see store_view.h).
#include "store_view.h"

#include "recorded_file.h"
#include <algorithm>
#include <map>
#include <unordered_map>
#include <utility>

#include "bulk_blame.h"
#include "fs.h"
#include "hash_tables.h"
#include "lib.h"
#include "purge_exact.h"
#include "recorded_file.h"
#include "storage.h"
#include "token_bin_index.h"

namespace kestrix::store_view {
namespace {

bool marked_revoked(const Value& record) {
  const Value* mark = record.get("revoked");
  return mark != nullptr && mark->as_bool() != nullptr && *mark->as_bool();
}

// The records of a layer's shard for `key`; empty when the key names no
// shard a store could hold (too short, or not a safe name).
Result<std::vector<Value>> shard_records(const std::string& kx_dir, std::string_view layer,
                                         const std::string& key) {
  if (key.size() < 2) return std::vector<Value>{};
  auto path = shard_path(kx_dir, layer, key);
  if (!path) return std::vector<Value>{};
  return jsonl_read(*path);
}

// Folds one more record of a section into `known`.
void merge_section(SectionState& known, const Value& record) {
  known.revoked = known.revoked || marked_revoked(record);
}

SectionState first_section_record(const std::string& hash, const Value& record) {
  return SectionState{hash, record, marked_revoked(record)};
}

constexpr std::string_view kWhitespace = " \t\n\v\f\r\x1c\x1d\x1e\x1f";

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Splits "<days>-HH:MM:SS <operation> <detail>"; false for a line that does
// not begin with a timestamp and a space.
bool parse_log_line(std::string_view line, LogEntry& entry) {
  size_t dash = line.find('-');
  if (dash == std::string_view::npos || !all_digits(line.substr(0, dash))) return false;
  std::string_view clock = line.substr(dash + 1);
  if (clock.size() < 9 || clock[2] != ':' || clock[5] != ':' || clock[8] != ' ' ||
      !all_digits(clock.substr(0, 2)) || !all_digits(clock.substr(3, 2)) ||
      !all_digits(clock.substr(6, 2)))
    return false;
  std::string_view rest = clock.substr(9);
  size_t end = rest.find_first_of(kWhitespace);
  if (end == std::string_view::npos) end = rest.size();
  std::string_view detail = rest.substr(end);
  if (!detail.empty() && detail.front() == ' ') detail.remove_prefix(1);
  entry.timestamp.assign(line.substr(0, dash + 9));
  entry.operation.assign(rest.substr(0, end));
  entry.detail.assign(detail);
  return true;
}

// Text after the first `marker` in `detail`, if it holds one.
std::optional<std::string_view> after(std::string_view detail, std::string_view marker) {
  size_t at = detail.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  return detail.substr(at + marker.size());
}

// The data file of the purge that wrote the archive `name`, from the log.
std::optional<std::string> purged_file_of(const std::vector<LogEntry>& log, std::string_view name) {
  for (size_t i = log.size(); i-- > 0;) {
    if (log[i].operation != "purge_archive") continue;
    auto quoted = after(log[i].detail, " lines to ");
    if (!quoted) continue;
    auto path = unquote_path(*quoted);
    if (!path || path_basename(*path) != name) continue;
    for (size_t j = i + 1; j < log.size(); ++j) {
      if (log[j].operation != "purge") continue;
      if (auto from = after(log[j].detail, " lines from ")) return unquote_path(*from);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

// The withdrawal of one section, its authors looked up by author_of(id)
// (a Result of a pointer to the author, or to nullopt for an unknown id);
// nullopt when the section's lines may still be used.
template <typename AuthorOf>
Result<std::optional<Withdrawal>> withdrawal_of(const SectionState& state, AuthorOf&& author_of) {
  Withdrawal w;
  w.section_hash = state.section_hash;
  if (const std::string* path = get_string(state.record, "path")) w.path = *path;
  w.section_revoked = state.revoked;
  for (const std::string& id : section_author_ids(state)) {
    KX_ASSIGN_OR_RETURN(const std::optional<Author>* found, author_of(id));
    if (*found && (*found)->revoked) w.revoked_authors.push_back(**found);
  }
  if (!w.section_revoked && w.revoked_authors.empty()) return std::optional<Withdrawal>{};
  return std::optional<Withdrawal>(std::move(w));
}

}  // namespace

Result<std::vector<SectionState>> sections(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(std::vector<Value> records, shard_iterate_all(kx_dir, "sections"));
  std::vector<SectionState> out;
  std::unordered_map<std::string, size_t> seen;
  for (const Value& record : records) {
    const std::string* hash = record.is_object() ? get_string(record, "section_hash") : nullptr;
    if (hash == nullptr) continue;
    auto [it, inserted] = seen.try_emplace(*hash, out.size());
    if (inserted) {
      out.push_back(first_section_record(*hash, record));
    } else {
      merge_section(out[it->second], record);
    }
  }
  return out;
}

Result<std::optional<SectionState>> section(const std::string& kx_dir,
                                            const std::string& section_hash) {
  KX_ASSIGN_OR_RETURN(std::vector<Value> records, shard_records(kx_dir, "sections", section_hash));
  std::optional<SectionState> found;
  for (const Value& record : records) {
    const std::string* hash = record.is_object() ? get_string(record, "section_hash") : nullptr;
    if (hash == nullptr || *hash != section_hash) continue;
    if (!found) {
      found = first_section_record(*hash, record);
    } else {
      merge_section(*found, record);
    }
  }
  return found;
}

Result<std::vector<Author>> authors(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(std::vector<Author> records, authors::query(kx_dir, std::nullopt, std::nullopt));
  std::vector<Author> out;
  std::unordered_map<std::string, size_t> seen;
  for (Author& record : records) {
    auto [it, inserted] = seen.try_emplace(record.id, out.size());
    if (inserted) {
      out.push_back(std::move(record));
    } else {
      out[it->second].revoked = out[it->second].revoked || record.revoked;
    }
  }
  return out;
}

Result<std::optional<Author>> author(const std::string& kx_dir, const std::string& id) {
  KX_ASSIGN_OR_RETURN(std::vector<Value> records, shard_records(kx_dir, "authors", id));
  std::optional<Author> found;
  for (const Value& record : records) {
    auto parsed = author_from_json(record);
    if (!parsed || parsed->id != id) continue;
    if (!found) {
      found = std::move(parsed);
    } else {
      found->revoked = found->revoked || parsed->revoked;
    }
  }
  return found;
}

Result<std::vector<Withdrawal>> withdrawn_sections(const std::string& kx_dir,
                                                   const std::vector<std::string>& section_hashes) {
  std::vector<Withdrawal> out;
  std::set<std::string> done;
  std::unordered_map<std::string, std::optional<Author>> known_authors;
  auto author_of = [&](const std::string& id) -> Result<const std::optional<Author>*> {
    auto it = known_authors.find(id);
    if (it == known_authors.end()) {
      KX_ASSIGN_OR_RETURN(std::optional<Author> found, author(kx_dir, id));
      it = known_authors.emplace(id, std::move(found)).first;
    }
    return &it->second;
  };
  for (const std::string& hash : section_hashes) {
    if (!done.insert(hash).second) continue;
    KX_ASSIGN_OR_RETURN(std::optional<SectionState> state, section(kx_dir, hash));
    if (!state) continue;
    KX_ASSIGN_OR_RETURN(std::optional<Withdrawal> w, withdrawal_of(*state, author_of));
    if (w) out.push_back(std::move(*w));
  }
  return out;
}

Result<std::vector<Withdrawal>> withdrawn_sections(const std::string& kx_dir) {
  KX_ASSIGN_OR_RETURN(std::vector<SectionState> all, sections(kx_dir));
  KX_ASSIGN_OR_RETURN(std::vector<Author> everyone, authors(kx_dir));
  std::unordered_map<std::string, std::optional<Author>> by_id;
  for (Author& a : everyone) by_id.emplace(a.id, std::move(a));
  const std::optional<Author> unknown;
  auto author_of = [&](const std::string& id) -> Result<const std::optional<Author>*> {
    auto it = by_id.find(id);
    return it == by_id.end() ? &unknown : &it->second;
  };
  std::vector<Withdrawal> out;
  for (const SectionState& state : all) {
    KX_ASSIGN_OR_RETURN(std::optional<Withdrawal> w, withdrawal_of(state, author_of));
    if (w) out.push_back(std::move(*w));
  }
  return out;
}

std::vector<std::string> section_author_ids(const SectionState& section) {
  std::vector<std::string> ids;
  const Value* listed = section.record.get("authors");
  if (const Array* items = listed ? listed->as_array() : nullptr)
    for (const Value& id : *items)
      if (const std::string* text = id.as_string()) ids.push_back(*text);
  return ids;
}

Result<TokenTotals> token_totals(const std::string& kx_dir, const std::string& tokenizer) {
  KX_ASSIGN_OR_RETURN(std::vector<Withdrawal> withdrawals, withdrawn_sections(kx_dir));
  FlatSet<std::string> withdrawn;
  for (Withdrawal& w : withdrawals) withdrawn.insert(std::move(w.section_hash));
  TokenTotals t;
  KX_TRY(token_index::for_each_merged_entry(kx_dir, tokenizer, [&](TokenIndexEntry&& entry) {
    ++t.entries;
    if (entry.revoked) {
      ++t.revoked_entries;
      t.revoked_tokens += entry.token_count;
      return;
    }
    ++t.active_entries;
    t.active_tokens += entry.token_count;
    if (std::any_of(entry.sources.begin(), entry.sources.end(),
                    [&](const std::string& s) { return withdrawn.contains(s); })) {
      ++t.withdrawn_active_entries;
      t.withdrawn_active_tokens += entry.token_count;
    }
  }));
  return t;
}

namespace {

// Lines of a data file counted by the set of sections each draws from
// (sorted, distinct; empty for a tracked line without sources).
using LinesBySections = FlatMap<std::vector<std::string>, uint64_t>;

// A line's sections are those of its records for the data file itself
// when it has any (a line the file drew from one source stands by that
// source, whatever other files drew the same text from), else those of all
// its records.
Status count_lines_by_sections(const std::string& kx_dir, const std::string& data_file,
                               FileStatus& status, LinesBySections& counts) {
  RecordedFile file(kx_dir, data_file);
  return blame_file(kx_dir, data_file, [&](BlameBatch&& batch) -> Status {
    std::vector<uint64_t> lines_of(batch.provenances.size());
    for (const BlamedLine& line : batch.lines) ++lines_of[line.provenance];
    status.lines += batch.lines.size();
    for (size_t p = 0; p < batch.provenances.size(); ++p) {
      if (lines_of[p] == 0 || batch.provenances[p].empty()) continue;
      status.tracked += lines_of[p];
      const std::vector<uint32_t>& records = batch.provenances[p];
      const bool own = std::any_of(records.begin(), records.end(),
                                   [&](uint32_t r) { return file.named_by(batch.records[r].file); });
      std::vector<std::string> sections;
      for (uint32_t r : records) {
        if (own && !file.named_by(batch.records[r].file)) continue;
        for (const std::string& s : batch.records[r].sources) sections.push_back(s);
      }
      std::sort(sections.begin(), sections.end());
      sections.erase(std::unique(sections.begin(), sections.end()), sections.end());
      counts[std::move(sections)] += lines_of[p];
    }
    return {};
  });
}

}  // namespace

Result<FileStatus> file_status(const std::string& kx_dir, const std::string& data_file) {
  FileStatus status;
  LinesBySections counts;
  KX_TRY(count_lines_by_sections(kx_dir, data_file, status, counts));
  std::set<std::string> distinct;
  for (const auto& [sections, lines] : counts) distinct.insert(sections.begin(), sections.end());
  KX_ASSIGN_OR_RETURN(std::vector<Withdrawal> withdrawals,
                      withdrawn_sections(kx_dir, {distinct.begin(), distinct.end()}));
  std::set<std::string> withdrawn;
  for (Withdrawal& w : withdrawals) withdrawn.insert(std::move(w.section_hash));
  std::unordered_map<std::string, std::vector<std::string>> authors_of;
  for (const std::string& hash : distinct) {
    KX_ASSIGN_OR_RETURN(std::optional<SectionState> state, section(kx_dir, hash));
    if (state) authors_of[hash] = section_author_ids(*state);
  }
  std::map<std::string, uint64_t> section_lines;
  std::map<std::string, uint64_t> author_lines;
  for (const auto& [sections, lines] : counts) {
    std::set<std::string> authors;
    bool any_withdrawn = false;
    for (const std::string& hash : sections) {
      section_lines[hash] += lines;
      any_withdrawn = any_withdrawn || withdrawn.contains(hash);
      if (auto it = authors_of.find(hash); it != authors_of.end())
        authors.insert(it->second.begin(), it->second.end());
    }
    for (const std::string& id : authors) author_lines[id] += lines;
    if (any_withdrawn) status.withdrawn += lines;
  }
  for (const auto& [hash, lines] : section_lines)
    status.sections.push_back({hash, lines, withdrawn.contains(hash)});
  for (const auto& [id, lines] : author_lines) status.authors.push_back({id, lines});
  return status;
}

Result<std::vector<PidFile>> pid_files(const std::string& kx_dir, const std::string& tokenizer) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> paths, token_index::get_pid_files(kx_dir, tokenizer));
  std::vector<PidFile> out;
  for (std::string& path : paths) {
    // A pid file may be merged away meanwhile: it then holds nothing pending.
    auto bytes = read_whole_file(path);
    PidFile file{std::move(path), 0};
    if (bytes && *bytes) for_each_token_entry(**bytes, [&](TokenIndexEntry&&) { ++file.entries; });
    out.push_back(std::move(file));
  }
  return out;
}

Result<std::vector<TokenIndexEntry>> entries_of_sections(const std::string& kx_dir,
                                                         const std::string& tokenizer,
                                                         const std::set<std::string>& sections) {
  std::vector<TokenIndexEntry> out;
  if (sections.empty()) return out;
  KX_ASSIGN_OR_RETURN(std::vector<TokenIndexEntry> entries, token_index::read_merged(kx_dir, tokenizer));
  for (TokenIndexEntry& entry : entries) {
    bool listed = std::any_of(entry.sources.begin(), entry.sources.end(),
                              [&](const std::string& s) { return sections.contains(s); });
    if (listed) out.push_back(std::move(entry));
  }
  return out;
}

std::string_view freshness_name(Freshness f) {
  switch (f) {
    case Freshness::kMissing: return "missing";
    case Freshness::kFresh: return "fresh";
    case Freshness::kStale: return "stale";
  }
  return "missing";
}

Freshness line_index_freshness(const std::string& kx_dir) {
  auto index = stat_path(store_path(kx_dir, "index.bin"));
  if (!index) return Freshness::kMissing;
  auto entries = list_dir(store_path(kx_dir, "document-index"));
  if (!entries) return Freshness::kFresh;
  for (const DirEntry& entry : *entries) {
    auto info = stat_path(entry.path);
    if (info && info->regular && info->mtime_ns > index->mtime_ns) return Freshness::kStale;
  }
  return Freshness::kFresh;
}

Result<Freshness> token_index_freshness(const std::string& kx_dir, const std::string& tokenizer) {
  auto index = TokenBinIndex::open(kx_dir, tokenizer);
  // An index that no longer opens is passed over by its readers, as a
  // stale one is.
  if (!index) return Freshness::kStale;
  if (!*index) return Freshness::kMissing;
  return (*index)->is_fresh() ? Freshness::kFresh : Freshness::kStale;
}

Result<std::vector<LogEntry>> log_entries(const std::string& kx_dir) {
  std::vector<LogEntry> entries;
  for (const char* name : {"log.1", "log"}) {
    KX_ASSIGN_OR_RETURN(auto bytes, read_whole_file(store_path(kx_dir, name)));
    if (!bytes) continue;
    std::string text = utf8_lossy(*bytes);
    // Line ends as a text reader sees them: "\r\n" and a lone "\r" end a
    // line too.
    std::string lines;
    lines.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '\r') {
        lines.push_back(text[i]);
      } else if (i + 1 >= text.size() || text[i + 1] != '\n') {
        lines.push_back('\n');
      }
    }
    if (!lines.empty() && lines.back() == '\n') lines.pop_back();
    std::string_view rest = lines;
    while (true) {
      size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      LogEntry entry;
      if (parse_log_line(line, entry)) {
        entries.push_back(std::move(entry));
      } else if (!entries.empty()) {
        entries.back().detail += '\n';
        entries.back().detail.append(line);
      }
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  return entries;
}

Result<std::vector<ArchiveInfo>> purge_archives(const std::string& kx_dir) {
  std::vector<ArchiveInfo> archives;
  const std::string dir = store_path(kx_dir, "archive");
  if (!is_dir(dir)) return archives;
  KX_ASSIGN_OR_RETURN(std::vector<DirEntry> entries, list_dir(dir));
  for (DirEntry& entry : entries) {
    std::string name = utf8_lossy(entry.name);
    if (name.starts_with("purge.")) archives.push_back({std::move(name), std::move(entry.path), {}});
  }
  if (archives.empty()) return archives;
  // Stamps sort in the order of the purges, so the greatest name is the
  // newest archive, the one purge_reverse restores first.
  std::sort(archives.begin(), archives.end(),
            [](const ArchiveInfo& a, const ArchiveInfo& b) { return a.name > b.name; });
  KX_ASSIGN_OR_RETURN(std::vector<LogEntry> log, log_entries(kx_dir));
  for (ArchiveInfo& archive : archives) {
    archive.data_file = undo_record_data_file(kx_dir, archive.name);
    archive.exact = archive.data_file.has_value();
    if (!archive.exact) archive.data_file = purged_file_of(log, archive.name);
  }
  return archives;
}

Result<std::vector<ArchiveInfo>> purge_archives_of(const std::string& kx_dir,
                                                   const std::string& data_file) {
  KX_ASSIGN_OR_RETURN(std::vector<ArchiveInfo> archives, purge_archives(kx_dir));
  const std::string wanted = resolved_path(data_file);
  std::erase_if(archives, [&](const ArchiveInfo& archive) {
    return !archive.data_file || resolved_path(*archive.data_file) != wanted;
  });
  return archives;
}

}  // namespace kestrix::store_view
