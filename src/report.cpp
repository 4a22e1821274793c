// Aggregates of a store report (see report.h).
//
// Every key is counted under a number: the registered sections, their
// licenses and their authors are numbered once when the pass starts, and
// data files and section hashes that no section registers as they turn up.
// Each task of a pass counts into a tally of its own (one per task running
// at a time, taken and given back), and the tallies are summed at the end.
// So a record costs one scan of its line, a lookup per source and a few
// additions, with no string copied, and the tasks share nothing but the
// numbering of newly seen keys.
#include "report.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "coding.h"
#include "data_blocks.h"
#include "fs.h"
#include "hash_tables.h"
#include "indexer.h"
#include "mmap_lines.h"
#include "records.h"
#include "storage.h"
#include "store_view.h"
#include "token_index.h"

namespace kestrix::report {
namespace {

// A map by string that a string_view looks up without a copy.
using NumberMap = FlatMap<std::string, uint32_t>;

// Values by section hash.  A hash of 64 lowercase hex digits (the form the
// store writes) is kept as its digest, in the table beside its value, so
// that a lookup reads one place in memory; any other text as it is.
template <typename V>
class ByHash {
 public:
  const V* find(std::string_view hash) const {
    if (auto digest = digest_from_hex(hash, HexCase::kLower)) {
      auto it = digests_.find(*digest);
      return it != digests_.end() ? &it->second : nullptr;
    }
    auto it = texts_.find(hash);
    return it != texts_.end() ? &it->second : nullptr;
  }
  void add(std::string_view hash, V value) {
    if (auto digest = digest_from_hex(hash, HexCase::kLower)) digests_.try_emplace(*digest, value);
    else texts_.try_emplace(std::string(hash), value);
  }

 private:
  FlatMap<Digest, V> digests_;
  FlatMap<std::string, V> texts_;
};

// The number of a data file that the file filter leaves out.
constexpr uint32_t kLeftOut = UINT32_MAX;

// Numbers given to keys as the tasks of a pass first see them, from
// `first` on.  Thread-safe.
class KeyNumbers {
 public:
  explicit KeyNumbers(uint32_t first = 0) : first_(first) {}
  uint32_t number(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto [it, added] = numbers_.try_emplace(key, first_ + static_cast<uint32_t>(keys_.size()));
    if (added) keys_.emplace_back(key);
    return it->second;
  }
  // The key of number n (first <= n < first + size()).
  const std::string& key(uint32_t n) const { return keys_[n - first_]; }
  size_t size() const { return keys_.size(); }

 private:
  std::mutex mutex_;
  uint32_t first_;
  NumberMap numbers_;
  std::vector<std::string> keys_;
};

// One task's memory of the numbers it has looked up, so that the shared
// numbering is locked once per key and task, not once per record.
class KeyMemo {
 public:
  template <typename NumberOf>
  uint32_t number(std::string_view key, const NumberOf& number_of) {
    if (auto it = memo_.find(key); it != memo_.end()) return it->second;
    const uint32_t n = number_of(key);
    memo_.emplace(key, n);
    return n;
  }

 private:
  NumberMap memo_;
};

// What one record or entry draws from: its distinct sources, licenses and
// authors (by number), whether any source is withdrawn, and whether it
// passes the filters (the license and author filters may be met by two
// sources).
struct Drawn {
  std::vector<uint32_t> sources, licenses, authors;
  bool withdrawn = false;
  bool selected = true;
};

// Drops repeats, keeping the first of each.  The lists are short (a
// record's few sources, their licenses and authors) and their order does
// not matter, so each value is looked for among those kept before it.
void dedupe(std::vector<uint32_t>& v) {
  auto kept = v.begin();
  for (auto it = v.begin(); it != v.end(); ++it)
    if (std::find(v.begin(), kept, *it) == kept) *kept++ = *it;
  v.erase(kept, v.end());
}

// The registered sections with what a record drawn from them counts under,
// and the filters resolved to them.  Sections are numbered from 0, hashes
// that no section registers from size() on.
class Sections {
 public:
  static Result<Sections> load(const std::string& kx_dir, const Filter& filter) {
    KX_ASSIGN_OR_RETURN(std::vector<store_view::SectionState> all, store_view::sections(kx_dir));
    KX_ASSIGN_OR_RETURN(std::vector<store_view::Withdrawal> withdrawn,
                        store_view::withdrawn_sections(kx_dir));
    Sections s;
    NumberMap numbers;
    std::vector<Named> named;
    auto named_of = [&](const std::string& hash) -> Named& {
      const uint32_t n = number_of(hash, numbers, s.hashes_);
      if (n == named.size()) named.emplace_back();
      return named[n];
    };
    for (const store_view::SectionState& state : all) {
      Named& n = named_of(state.section_hash);
      if (const std::string* license = get_string(state.record, "license")) n.license = *license;
      n.authors = store_view::section_author_ids(state);
    }
    // A withdrawal of a hash that no section registers counts too, under the
    // empty license and no author.
    for (const store_view::Withdrawal& w : withdrawn) named_of(w.section_hash).withdrawn = true;
    s.number(named, filter);
    return s;
  }

  uint32_t size() const { return static_cast<uint32_t>(hashes_.size()); }
  const std::string& hash(uint32_t n) const { return hashes_[n]; }
  const std::string& license(uint32_t n) const { return licenses_[n]; }
  const std::string& author(uint32_t n) const { return authors_[n]; }

  // Resolves the sources of one record; hashes that no section registers
  // are numbered by `unknown` through the task's `memo`.
  void resolve(const std::vector<std::string_view>& sources, KeyNumbers& unknown, KeyMemo& memo,
               Drawn& d) const {
    d.sources.clear();
    d.licenses.clear();
    d.authors.clear();
    d.withdrawn = false;
    bool any_license = !filter_licenses_, any_author = !filter_authors_;
    for (std::string_view hash : sources) {
      const Info* info = known_.find(hash);
      if (info == nullptr) {
        d.sources.push_back(memo.number(hash, [&](std::string_view h) { return unknown.number(h); }));
        continue;
      }
      d.sources.push_back(info->number);
      d.withdrawn = d.withdrawn || info->withdrawn;
      d.licenses.push_back(info->license);
      d.authors.insert(d.authors.end(), section_authors_.begin() + info->authors_begin,
                       section_authors_.begin() + info->authors_end);
      any_license = any_license || info->license_hit;
      any_author = any_author || info->author_hit;
    }
    dedupe(d.sources);
    dedupe(d.licenses);
    dedupe(d.authors);
    d.selected = any_license && any_author;
  }

 private:
  // A section as the store names it.
  struct Named {
    std::string license;
    std::vector<std::string> authors;
    bool withdrawn = false;
  };
  // The same, numbered, with the filters it meets; small, so that it fits
  // in the table beside its key.
  struct Info {
    uint32_t number = 0;
    uint32_t license = 0;
    uint32_t authors_begin = 0, authors_end = 0;  // in section_authors_
    bool withdrawn = false;
    bool license_hit = false, author_hit = false;
  };

  // The number of `key` among `keys`, which it joins when new.
  static uint32_t number_of(const std::string& key, NumberMap& numbers,
                            std::vector<std::string>& keys) {
    auto [it, added] = numbers.try_emplace(key, static_cast<uint32_t>(keys.size()));
    if (added) keys.push_back(key);
    return it->second;
  }

  void number(const std::vector<Named>& named, const Filter& filter) {
    filter_licenses_ = filter.licenses.has_value();
    filter_authors_ = filter.author_ids.has_value();
    NumberMap license_numbers, author_numbers;
    for (uint32_t number = 0; number < named.size(); ++number) {
      const Named& n = named[number];
      Info info{.number = number};
      info.license = number_of(n.license, license_numbers, licenses_);
      info.authors_begin = static_cast<uint32_t>(section_authors_.size());
      for (const std::string& id : n.authors) section_authors_.push_back(number_of(id, author_numbers, authors_));
      info.authors_end = static_cast<uint32_t>(section_authors_.size());
      info.withdrawn = n.withdrawn;
      info.license_hit = filter.licenses && filter.licenses->contains(n.license);
      info.author_hit = filter.author_ids && std::ranges::any_of(n.authors, [&](const std::string& id) {
                          return filter.author_ids->contains(id);
                        });
      known_.add(hashes_[number], info);
    }
  }

  ByHash<Info> known_;
  std::vector<std::string> hashes_;  // by number
  std::vector<uint32_t> section_authors_;
  std::vector<std::string> licenses_, authors_;
  bool filter_licenses_ = false, filter_authors_ = false;
};

void by_key(std::vector<Count>& counts) {
  std::sort(counts.begin(), counts.end(), [](const Count& a, const Count& b) { return a.key < b.key; });
}

// Records (or tokens) and those under withdrawn consent (or revoked), and
// how many records or entries were added: a key is reported once anything
// was counted under it, even a count of zero tokens.
struct Counts {
  uint64_t total = 0;
  uint64_t withdrawn = 0;
  uint64_t added = 0;

  void add(uint64_t t, uint64_t w) {
    total += t;
    withdrawn += w;
    ++added;
  }
  void add(const Counts& other) {
    total += other.total;
    withdrawn += other.withdrawn;
    added += other.added;
  }
};

// Counts by number, growing as numbers turn up.
class Tally {
 public:
  Counts& operator[](uint32_t n) {
    if (n >= counts_.size()) counts_.resize(n + 1);
    return counts_[n];
  }
  void add(const Tally& other) {
    for (uint32_t n = 0; n < other.counts_.size(); ++n) (*this)[n].add(other.counts_[n]);
  }
  const Counts* find(uint32_t n) const {
    return n < counts_.size() && counts_[n].added ? &counts_[n] : nullptr;
  }
  // (key, counts) for every number counted, sorted by key.
  template <typename KeyOf>
  std::vector<Count> sorted(const KeyOf& key_of) const {
    std::vector<Count> out;
    for (uint32_t n = 0; n < counts_.size(); ++n)
      if (counts_[n].added) out.push_back({key_of(n), counts_[n].total, counts_[n].withdrawn});
    by_key(out);
    return out;
  }

 private:
  std::vector<Counts> counts_;
};

// The tallies of a pass, one per task running at a time.
template <typename T>
class Tallies {
 public:
  // Runs fn(tally) with a tally no other task uses meanwhile.
  template <typename Fn>
  void with(const Fn& fn) {
    T* tally = take();
    fn(*tally);
    std::lock_guard lock(mutex_);
    free_.push_back(tally);
  }
  // All the tallies summed (T::add); call once the pass is over.
  T sum() {
    T total;
    for (std::unique_ptr<T>& tally : all_) total.add(*tally);
    return total;
  }

 private:
  T* take() {
    std::lock_guard lock(mutex_);
    if (free_.empty()) return all_.emplace_back(std::make_unique<T>()).get();
    T* tally = free_.back();
    free_.pop_back();
    return tally;
  }
  std::mutex mutex_;
  std::vector<std::unique_ptr<T>> all_;
  std::vector<T*> free_;
};

// What the tasks of a pass share: the sections, and the numbering of the
// keys they find.
struct Pass {
  const Sections& sections;
  const Filter& filter;
  KeyNumbers unknown_sections;  // numbered after the registered ones
  KeyNumbers files;

  Pass(const Sections& s, const Filter& f) : sections(s), filter(f), unknown_sections(s.size()) {}
  const std::string& section_hash(uint32_t n) const {
    return n < sections.size() ? sections.hash(n) : unknown_sections.key(n);
  }
  uint32_t file_number(std::string_view file) {
    if (filter.files && !filter.files->contains(std::string(file))) return kLeftOut;
    return files.number(file);
  }
};

// Records and entries are counted in batches, step by step: every line of
// a batch is parsed, then every record is resolved, then counted.  The
// table look-ups of one step do not depend on one another, so the
// processor overlaps their cache misses.
constexpr size_t kBatch = 32;

template <typename Item, typename Parse, typename Resolve, typename Count>
void count_in_batches(LineCursor cursor, std::array<Item, kBatch>& items, const Parse& parse,
                      const Resolve& resolve, const Count& count) {
  for (bool more = true; more;) {
    size_t n = 0;
    Line line;
    while (n < kBatch && (more = cursor.next(line)))
      if (parse(line.text, items[n])) ++n;
    for (size_t i = 0; i < n; ++i) resolve(items[i]);
    for (size_t i = 0; i < n; ++i) count(items[i]);
  }
}

// A document record on its way through a batch.
struct DocumentItem {
  DocumentParts parts;
  DocumentRecord parsed;  // when only the general parser reads the line
  uint32_t file = 0;
  Drawn drawn;
};

// One task's tally of document records, with its scratch space.
struct DocumentTally {
  Tally files, licenses, authors;
  FlatMap<uint64_t, Counts> file_sections;  // by file << 32 | section

  KeyMemo file_memo, section_memo;
  std::array<DocumentItem, kBatch> batch;

  void add(const DocumentTally& other) {
    files.add(other.files);
    licenses.add(other.licenses);
    authors.add(other.authors);
    for (const auto& [key, counts] : other.file_sections) file_sections[key].add(counts);
  }
};

uint64_t file_section(uint32_t file, uint32_t section) { return uint64_t{file} << 32 | section; }

void count_documents(LineCursor lines, Pass& pass, DocumentTally& t) {
  auto parse = [&](std::string_view line, DocumentItem& r) {
    return parse_document_parts(line, r.parts, r.parsed);
  };
  auto resolve = [&](DocumentItem& r) {
    r.file = t.file_memo.number(r.parts.file, [&](std::string_view name) { return pass.file_number(name); });
    if (r.file == kLeftOut) return;
    pass.sections.resolve(r.parts.sources, pass.unknown_sections, t.section_memo, r.drawn);
  };
  auto count = [&](const DocumentItem& r) {
    const Drawn& d = r.drawn;
    if (r.file == kLeftOut || !d.selected) return;
    const uint64_t w = d.withdrawn ? 1 : 0;
    t.files[r.file].add(1, w);
    for (uint32_t s : d.sources) t.file_sections[file_section(r.file, s)].add(1, w);
    for (uint32_t l : d.licenses) t.licenses[l].add(1, w);
    for (uint32_t a : d.authors) t.authors[a].add(1, w);
  };
  count_in_batches(lines, t.batch, parse, resolve, count);
}

void put_documents(const DocumentTally& t, const Pass& pass, Aggregates& a) {
  std::vector<std::vector<Count>> sections_of(pass.files.size());
  for (const auto& [key, counts] : t.file_sections)
    sections_of[key >> 32].push_back(
        {pass.section_hash(static_cast<uint32_t>(key)), counts.total, counts.withdrawn});
  for (uint32_t file = 0; file < sections_of.size(); ++file) {
    const Counts* counts = t.files.find(file);
    if (counts == nullptr) continue;
    by_key(sections_of[file]);
    a.files.push_back({pass.files.key(file), counts->total, counts->withdrawn, std::move(sections_of[file])});
  }
  std::sort(a.files.begin(), a.files.end(),
            [](const FileTally& x, const FileTally& y) { return x.file < y.file; });
  a.licenses = t.licenses.sorted([&](uint32_t n) { return pass.sections.license(n); });
  a.authors = t.authors.sorted([&](uint32_t n) { return pass.sections.author(n); });
}

// A token entry on its way through a batch.
struct TokenItem {
  TokenEntryParts parts;
  TokenIndexEntry parsed;  // when only the general parser reads the line
  Drawn drawn;
};

// One task's tally of token entries, with its scratch space.  Active tokens
// count as totals, revoked ones as withdrawn.
struct TokenEntryTally {
  uint64_t active_entries = 0, revoked_entries = 0;
  uint64_t active_tokens = 0, revoked_tokens = 0, active_withdrawn_tokens = 0;
  Tally sections, licenses, authors;

  KeyMemo section_memo;
  std::array<TokenItem, kBatch> batch;

  void add(const TokenEntryTally& other) {
    active_entries += other.active_entries;
    revoked_entries += other.revoked_entries;
    active_tokens += other.active_tokens;
    revoked_tokens += other.revoked_tokens;
    active_withdrawn_tokens += other.active_withdrawn_tokens;
    sections.add(other.sections);
    licenses.add(other.licenses);
    authors.add(other.authors);
  }
};

void count_token_entries(LineCursor lines, Pass& pass, TokenEntryTally& t) {
  auto parse = [&](std::string_view line, TokenItem& e) {
    return parse_token_entry_parts(line, e.parts, e.parsed);
  };
  auto resolve = [&](TokenItem& e) {
    pass.sections.resolve(e.parts.sources, pass.unknown_sections, t.section_memo, e.drawn);
  };
  auto count = [&](const TokenItem& e) {
    const Drawn& d = e.drawn;
    if (!d.selected) return;
    const bool revoked = e.parts.revoked;
    const uint64_t active = revoked ? 0 : e.parts.token_count;
    const uint64_t withdrawn = revoked ? e.parts.token_count : 0;
    (revoked ? t.revoked_entries : t.active_entries) += 1;
    t.active_tokens += active;
    t.revoked_tokens += withdrawn;
    if (d.withdrawn) t.active_withdrawn_tokens += active;
    for (uint32_t s : d.sources) t.sections[s].add(active, withdrawn);
    for (uint32_t l : d.licenses) t.licenses[l].add(active, withdrawn);
    for (uint32_t a : d.authors) t.authors[a].add(active, withdrawn);
  };
  count_in_batches(lines, t.batch, parse, resolve, count);
}

// Runs count(lines) on the pool over runs of whole lines of a store file,
// read block by block into `blocks`, so that memory stays bounded by two
// blocks however large the file.  A missing or empty file has no lines.
Status count_file_lines(const std::string& path, BlockPipeline& blocks,
                        const std::function<void(LineCursor)>& count) {
  auto info = stat_path(path);
  if (!info || info->size == 0) return {};
  BlockReader reader;
  auto about_file = [&](Error error) { return fail(std::move(error).about(path)); };
  if (Status opened = reader.open(path, info->size, ReadAs::kBytes); !opened)
    return about_file(std::move(opened).error());
  if (Status started = blocks.start(reader); !started) return about_file(std::move(started).error());
  for (bool more = true; more;) {
    auto next = blocks.next([&](std::string_view lines, std::pair<size_t, size_t> run, size_t) {
      count(LineCursor(lines, run.first, run.second));
    });
    if (!next) return about_file(std::move(next).error());
    more = *next;
  }
  return {};
}

Result<DocumentTally> tally_documents(const std::string& kx_dir, Pass& pass) {
  Tallies<DocumentTally> tallies;
  BlockPipeline blocks;
  KX_ASSIGN_OR_RETURN(std::vector<std::string> shards, list_shards(kx_dir, "document-index"));
  for (const std::string& shard : shards) {
    KX_TRY(count_file_lines(shard, blocks, [&](LineCursor lines) {
      tallies.with([&](DocumentTally& t) { count_documents(lines, pass, t); });
    }));
  }
  return tallies.sum();
}

Result<TokenTally> tally_tokens(const std::string& kx_dir, const std::string& tokenizer, Pass& pass) {
  Tallies<TokenEntryTally> tallies;
  KX_ASSIGN_OR_RETURN(auto files, token_index::get_merged_files(kx_dir, tokenizer));
  BlockPipeline blocks;
  for (const auto& [number, path] : files) {
    KX_TRY(count_file_lines(path, blocks, [&](LineCursor lines) {
      tallies.with([&](TokenEntryTally& t) { count_token_entries(lines, pass, t); });
    }));
  }
  const TokenEntryTally t = tallies.sum();
  return TokenTally{
      .tokenizer = tokenizer,
      .active_entries = t.active_entries,
      .revoked_entries = t.revoked_entries,
      .active_tokens = t.active_tokens,
      .revoked_tokens = t.revoked_tokens,
      .active_withdrawn_tokens = t.active_withdrawn_tokens,
      .sections = t.sections.sorted([&](uint32_t n) { return pass.section_hash(n); }),
      .licenses = t.licenses.sorted([&](uint32_t n) { return pass.sections.license(n); }),
      .authors = t.authors.sorted([&](uint32_t n) { return pass.sections.author(n); }),
  };
}

}  // namespace

Result<Aggregates> aggregates(const std::string& kx_dir, const Filter& filter) {
  KX_ASSIGN_OR_RETURN(Sections sections, Sections::load(kx_dir, filter));
  Pass pass(sections, filter);
  Aggregates a;
  KX_ASSIGN_OR_RETURN(DocumentTally documents, tally_documents(kx_dir, pass));
  put_documents(documents, pass, a);
  KX_ASSIGN_OR_RETURN(std::vector<std::string> names, token_index::list_tokenizers(kx_dir));
  for (const std::string& name : names) {
    KX_ASSIGN_OR_RETURN(TokenTally t, tally_tokens(kx_dir, name, pass));
    a.tokenizers.push_back(std::move(t));
  }
  return a;
}

}  // namespace kestrix::report
