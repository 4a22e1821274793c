// Absorption of one store into another (see merge.h).
//
// Memory: neither store's layers are held whole.  The target's records are
// reduced to compact identity keys in a KeySet while its files are streamed;
// the source is then streamed file by file and each record is either skipped
// or appended.  Token entries are streamed the same way, file by file, with a
// count per key in place of the set.
#include "merge.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <set>
#include <unordered_map>

#include "coding.h"
#include "fs.h"
#include "index.h"
#include "indexer.h"
#include "key_set.h"
#include "lib.h"
#include "mmap_lines.h"
#include "oplog.h"
#include "storage.h"
#include "token_index.h"

namespace kestrix {
namespace {

// Appended lines are gathered per shard and written in batches of whole
// lines, one append per shard, instead of one open/write/close per record.
constexpr size_t kFlushBytes = size_t{4} << 20;

enum class LayerKind { kAuthors, kSections, kDocuments };

struct LayerSpec {
  LayerKind kind;
  std::string_view layer;
  uint64_t MergeStats::*added;
};

constexpr LayerSpec kLayers[] = {
    {LayerKind::kAuthors, "authors", &MergeStats::authors_added},
    {LayerKind::kSections, "sections", &MergeStats::sections_added},
    {LayerKind::kDocuments, "document-index", &MergeStats::document_added},
};

// Builds compact, unambiguous identity keys.  A 64-character lowercase hex
// string (every content hash) is packed into its 32 bytes; anything else is
// kept with a length prefix; the tag byte keeps the two forms apart.  File
// names of document records are interned to a small number because a store
// holds few distinct data files and many records per file.
class KeyEncoder {
 public:
  void add_string(std::string& key, std::string_view s) {
    if (s.size() == 64 && pack_lower_hex64(s, key)) return;
    key.push_back('\x02');
    add_u64(key, s.size());
    key.append(s);
  }

  void add_file(std::string& key, const std::string& file) {
    auto [it, inserted] = file_ids_.try_emplace(file, file_ids_.size());
    add_u64(key, it->second);
  }

  static void add_u64(std::string& key, uint64_t v) {
    do {
      key.push_back(static_cast<char>((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
      v >>= 7;
    } while (v != 0);
  }

 private:
  // Appends tag 1 and the 32 bytes of a lowercase hex string; leaves `key`
  // as it was and returns false when `s` holds any other character.
  static bool pack_lower_hex64(std::string_view s, std::string& key) {
    Digest digest;
    if (!hex_to_bytes(s, digest.data(), digest.size(), HexCase::kLower)) return false;
    key.push_back('\x01');
    key.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    return true;
  }

  std::unordered_map<std::string, uint64_t> file_ids_;
};

// The identity key of a layer record and the hash naming its shard; false
// when the record lacks the string members that make up its key.
bool layer_key(LayerKind kind, const Value& record, KeyEncoder& encoder, std::string& key,
               const std::string*& shard_hash) {
  key.clear();
  switch (kind) {
    case LayerKind::kAuthors:
      shard_hash = get_string(record, "id");
      if (shard_hash == nullptr) return false;
      encoder.add_string(key, *shard_hash);
      return true;
    case LayerKind::kSections:
      shard_hash = get_string(record, "section_hash");
      if (shard_hash == nullptr) return false;
      encoder.add_string(key, *shard_hash);
      return true;
    case LayerKind::kDocuments: {
      shard_hash = get_string(record, "line_hash");
      const std::string* file = get_string(record, "file");
      if (shard_hash == nullptr || file == nullptr) return false;
      encoder.add_string(key, *shard_hash);
      encoder.add_file(key, *file);
      return true;
    }
  }
  return false;
}

// The identity of a token entry: its line and file when it names them, then
// count, tokenizer and the sources sorted by bytes (the entry itself keeps
// its own order of sources).  The first byte keeps the two kinds apart.
void token_key(const TokenIndexEntry& entry, KeyEncoder& encoder, std::string& key) {
  key.clear();
  if (entry.has_identity()) {
    key.push_back('I');
    encoder.add_string(key, entry.line_hash);
    encoder.add_file(key, entry.file);
  } else {
    key.push_back('C');
  }
  KeyEncoder::add_u64(key, entry.token_count);
  encoder.add_string(key, entry.tokenizer);
  std::vector<std::string_view> sorted(entry.sources.begin(), entry.sources.end());
  std::sort(sorted.begin(), sorted.end());
  KeyEncoder::add_u64(key, sorted.size());
  for (std::string_view source : sorted) encoder.add_string(key, source);
}

// Calls fn(record) -> Status for every record of every regular file of a
// layer, in listing order then line order, holding one file at a time.
template <typename Fn>
Status for_each_layer_record(const std::string& kx_dir, std::string_view layer, Fn&& fn) {
  const std::string dir = store_path(kx_dir, layer);
  if (!is_dir(dir)) return {};
  KX_ASSIGN_OR_RETURN(auto entries, list_dir(dir));
  for (const DirEntry& entry : entries) {
    if (!entry.is_regular_file()) continue;
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(entry.path));
    if (!bytes) continue;
    Status status;
    for_each_json_line(bytes->view(), [&](Value&& record) {
      if (status) status = fn(std::move(record));
    });
    KX_TRY(status);
  }
  return {};
}

// Calls fn(entry) -> Status for every token entry a store holds for a
// tokenizer: those of its merged files in merged order, then those of its pid
// files, which are tracked but not merged yet.  Holds one file at a time and
// only reads: the pid files stay where they are.
template <typename Fn>
Status for_each_held_entry(const std::string& kx_dir, const std::string& tokenizer, Fn&& fn) {
  auto read_file = [&](const std::string& path) -> Status {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
    if (!bytes) return {};
    Status status;
    for_each_token_entry(bytes->view(), [&](TokenIndexEntry&& entry) {
      if (status) status = fn(std::move(entry));
    });
    return status;
  };
  KX_ASSIGN_OR_RETURN(auto merged, token_index::get_merged_files(kx_dir, tokenizer));
  for (const auto& [number, path] : merged) KX_TRY(read_file(path));
  KX_ASSIGN_OR_RETURN(auto pending, token_index::get_pid_files(kx_dir, tokenizer));
  for (const std::string& path : pending) KX_TRY(read_file(path));
  return {};
}

// Lines waiting to be appended, per shard path.
class ShardAppender {
 public:
  Status add(const std::string& path, const Value& record) {
    std::string& lines = pending_[path];
    const size_t before = lines.size();
    write_canonical(record, lines);
    lines.push_back('\n');
    bytes_ += lines.size() - before;
    if (bytes_ >= kFlushBytes) return flush();
    return {};
  }

  Status flush() {
    auto pending = std::move(pending_);
    pending_.clear();
    bytes_ = 0;
    for (const auto& [path, lines] : pending) KX_TRY(append_to_file(path, lines));
    return {};
  }

 private:
  std::map<std::string, std::string> pending_;
  size_t bytes_ = 0;
};

// Authors and sections are sets: a record whose key the target holds is a
// duplicate.  With `count_repeats`, document records are counted per key
// as token entries are: a line a data file holds three times has three
// records, and the target gets the source's surplus of each key.
Status absorb_layer(const std::string& source, const std::string& target, const LayerSpec& info,
                    bool count_repeats, KeyEncoder& encoder, MergeStats& stats) {
  const bool counted = count_repeats && info.kind == LayerKind::kDocuments;
  KeySet known;
  std::string key;
  const std::string* shard_hash = nullptr;
  KX_TRY(for_each_layer_record(target, info.layer, [&](Value&& record) -> Status {
    if (layer_key(info.kind, record, encoder, key, shard_hash)) known.add(key);
    return {};
  }));

  ShardAppender appender;
  KX_TRY(for_each_layer_record(source, info.layer, [&](Value&& record) -> Status {
    if (!layer_key(info.kind, record, encoder, key, shard_hash) ||
        (counted ? known.take(key) : known.contains(key))) {
      ++stats.skipped;
      return {};
    }
    // A key that names no shard inside the layer (too short, or holding "/",
    // NUL or "..") is never written: the record counts as skipped.
    auto shard = shard_path_for_write(target, info.layer, *shard_hash);
    if (!shard) {
      ++stats.skipped;
      return {};
    }
    KX_TRY(appender.add(*shard, record));
    if (!counted) known.add(key);
    ++(stats.*info.added);
    return {};
  }));
  return appender.flush();
}

// A merged-file name: the number in decimal, zero-padded to three digits.
std::string merged_file_name(uint64_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  return digits;
}

// The number the next merged file of the target takes.
Result<uint64_t> next_merged_number(const std::string& target, const std::string& tokenizer) {
  KX_ASSIGN_OR_RETURN(auto files, token_index::get_merged_files(target, tokenizer));
  if (files.empty()) return 1;
  const uint64_t highest = files.back().first;
  if (highest == std::numeric_limits<uint64_t>::max())
    return fail_msg("no merged-file number left after " + files.back().second);
  return highest + 1;
}

// Token entries are a multiset: distinct lines of one section with equal
// token counts have equal keys (when the entries name no line) and must all
// arrive.  For each key the target gets as many entries as the source holds
// beyond what the target holds already, so a second absorption adds nothing.
// Both stores hold their pid files' entries as well as their merged ones, and
// both are counted the same way: a source entry not merged yet is absorbed,
// and a target entry not merged yet is held, since its merge will put it into
// the target's merged files; copying an equal source entry now would leave it
// there twice.  Counting alike on both sides is what makes a store absorbed
// into itself add nothing, and merging either store's pid files between two
// absorptions changes no count.
//
// Withdrawals: each revoked source entry that is taken for a copy of a target
// entry stands for one revoked target entry of its key.  The target's own
// revoked entries of the key cover that first; for each one beyond them an
// active target entry of the key is revoked (`to_revoke`), so the target ends
// with at least as many revoked entries of each key as either store had.
Status absorb_tokenizer(const std::string& source, const std::string& target,
                        const std::string& tokenizer, const AbsorbOptions& options,
                        KeyEncoder& encoder, MergeStats& stats, KeySet& to_revoke,
                        uint64_t& first_new_file) {
  KeySet held, held_revoked;
  std::string key;
  KX_TRY(for_each_held_entry(target, tokenizer, [&](TokenIndexEntry&& entry) -> Status {
    token_key(entry, encoder, key);
    held.add(key);
    if (entry.revoked) held_revoked.add(key);
    return {};
  }));

  const std::string dir = token_index::merged_dir(target, tokenizer);
  KX_TRY(create_dirs(dir));
  KX_ASSIGN_OR_RETURN(uint64_t number, next_merged_number(target, tokenizer));
  first_new_file = number;

  // The new file is written beside the store directory's other temporaries
  // and renamed into place only once complete, so a failure never leaves a
  // partial file under a merged-file number.
  std::optional<AtomicFile> out;
  std::string line;
  KX_TRY(for_each_held_entry(source, tokenizer, [&](TokenIndexEntry&& entry) -> Status {
    token_key(entry, encoder, key);
    // Each target entry stands for one equal source entry, which is skipped.
    if (held.take(key)) {
      ++stats.skipped;
      if (!entry.has_identity()) ++stats.matched_without_identity;
      if (options.carry_withdrawals && entry.revoked && !held_revoked.take(key)) to_revoke.add(key);
      return {};
    }
    if (!out) {
      const std::string path = path_join(dir, merged_file_name(number));
      KX_ASSIGN_OR_RETURN(AtomicFile file, AtomicFile::begin(path, store_dir(target)));
      out.emplace(std::move(file));
    }
    line.clear();
    append_token_entry_line(line, entry);
    line.push_back('\n');
    KX_TRY(out->write(line));
    ++stats.token_index_added;
    return {};
  }));
  if (out) KX_TRY(out->commit());
  return {};
}

// Revokes, in the target's merged files numbered below `below`, one active
// entry per count a key has in `to_revoke`.  A file with such entries is
// rewritten through AtomicFile; its other lines keep their bytes, and each
// revoked entry is written in the pid-line form, as the fast revocation
// writes it.
Status revoke_held_entries(const std::string& target, const std::string& tokenizer,
                           uint64_t below, KeyEncoder& encoder, KeySet& to_revoke,
                           MergeStats& stats) {
  KX_ASSIGN_OR_RETURN(auto files, token_index::get_merged_files(target, tokenizer));
  std::string key;
  for (const auto& [number, path] : files) {
    if (number >= below) break;
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
    if (!bytes) continue;
    std::string text;
    uint64_t flipped = 0;
    for_each_line(bytes->view(), [&](std::string_view line) {
      auto entry = parse_token_entry_line(line);
      if (entry && !entry->revoked) {
        token_key(*entry, encoder, key);
        if (to_revoke.take(key)) {
          entry->revoked = true;
          append_token_entry_line(text, *entry);
          text.push_back('\n');
          ++flipped;
          return;
        }
      }
      text.append(line);
      text.push_back('\n');
    });
    if (flipped == 0) continue;
    KX_TRY(atomic_write(path, text, store_dir(target)));
    stats.token_entries_revoked += flipped;
  }
  return {};
}

Status absorb_token_indexes(const std::string& source, const std::string& target,
                            const AbsorbOptions& options, KeyEncoder& encoder, MergeStats& stats) {
  KX_ASSIGN_OR_RETURN(auto tokenizers, token_index::list_tokenizers(source));
  for (const std::string& tokenizer : tokenizers) {
    // Entries to revoke must be found in the merged files, so the target's
    // pending entries are merged first.
    if (options.carry_withdrawals) KX_TRY(token_index::merge_pid_files(target, tokenizer));
    KeySet to_revoke;
    uint64_t first_new_file = 0;
    KX_TRY(absorb_tokenizer(source, target, tokenizer, options, encoder, stats, to_revoke,
                            first_new_file));
    if (to_revoke.size() > 0)
      KX_TRY(revoke_held_entries(target, tokenizer, first_new_file, encoder, to_revoke, stats));
  }
  return {};
}

// The keys of a layer's records marked "revoked": true (authors by `id`,
// sections by `section_hash`).
Result<std::set<std::string>> revoked_keys(const std::string& kx_dir, std::string_view layer,
                                           std::string_view member) {
  std::set<std::string> keys;
  KX_TRY(for_each_layer_record(kx_dir, layer, [&](Value&& record) -> Status {
    const Value* mark = record.get("revoked");
    const std::string* key = get_string(record, member);
    if (key && mark && mark->as_bool() && *mark->as_bool()) keys.insert(*key);
    return {};
  }));
  return keys;
}

// Marks revoked, in the target, every author or section the source holds
// revoked and the target holds with no revoked record: each of its records
// gets "revoked": true, its shard rewritten through AtomicFile.  A record
// counts as revoked when any of its repeated records is, so a target that
// has one revoked record already is left as it is.
Status carry_layer_withdrawals(const std::string& source, const std::string& target,
                               std::string_view layer, std::string_view member,
                               uint64_t& carried) {
  KX_ASSIGN_OR_RETURN(auto in_source, revoked_keys(source, layer, member));
  if (in_source.empty()) return {};
  KX_ASSIGN_OR_RETURN(auto in_target, revoked_keys(target, layer, member));
  std::map<std::string, std::set<std::string>> by_shard;
  for (const std::string& key : in_source) {
    if (in_target.contains(key)) continue;
    auto shard = shard_path_for_write(target, layer, key);
    if (shard && is_regular_file(*shard)) by_shard[*shard].insert(key);
  }
  for (const auto& [shard, keys] : by_shard) {
    KX_ASSIGN_OR_RETURN(std::vector<Value> records, jsonl_read(shard));
    std::set<std::string> marked;
    std::string text;
    for (Value& record : records) {
      Object* object = record.as_object();
      const std::string* key = get_string(record, member);
      if (object && key && keys.contains(*key)) {
        marked.insert(*key);
        object->set("revoked", Value(true));
      }
      write_canonical(record, text);
      text.push_back('\n');
    }
    if (marked.empty()) continue;
    KX_TRY(atomic_write(shard, text, store_dir(target)));
    carried += marked.size();
  }
  return {};
}

// Adds to the target's revoked-documents file the source's records it lacks,
// by (line_hash, file).
Status carry_revoked_documents(const std::string& source, const std::string& target,
                               uint64_t& carried) {
  constexpr std::string_view kRevoked = "document-index/revoked/all";
  KX_ASSIGN_OR_RETURN(auto from, read_file_bytes(store_path(source, kRevoked)));
  if (!from) return {};
  std::set<std::pair<std::string, std::string>> known;
  const std::string path = store_path(target, kRevoked);
  KX_ASSIGN_OR_RETURN(auto held, read_file_bytes(path));
  if (held) {
    for_each_json_line(held->view(), [&](Value&& value) {
      if (auto record = document_from_json(value)) known.emplace(record->line_hash, record->file);
    });
  }
  std::string text;
  uint64_t added = 0;
  for_each_json_line(from->view(), [&](Value&& value) {
    auto record = document_from_json(value);
    if (!record || !known.emplace(record->line_hash, record->file).second) return;
    write_canonical(value, text);
    text.push_back('\n');
    ++added;
  });
  if (added == 0) return {};
  KX_TRY(create_dirs(store_path(target, "document-index/revoked")));
  KX_TRY(append_to_file(path, text));
  carried += added;
  return {};
}

Status carry_withdrawals(const std::string& source, const std::string& target, MergeStats& stats) {
  KX_TRY(carry_layer_withdrawals(source, target, "authors", "id", stats.authors_revoked));
  KX_TRY(carry_layer_withdrawals(source, target, "sections", "section_hash", stats.sections_revoked));
  return carry_revoked_documents(source, target, stats.documents_revoked);
}

std::string merge_log_detail(const std::string& source, const MergeStats& s) {
  return "source=" + source + " authors=" + std::to_string(s.authors_added) +
         " sections=" + std::to_string(s.sections_added) +
         " document=" + std::to_string(s.document_added) +
         " token_index=" + std::to_string(s.token_index_added) +
         " skipped=" + std::to_string(s.skipped);
}

}  // namespace

Result<std::vector<Value>> iterate_layer(const std::string& kx_dir, std::string_view layer) {
  std::vector<Value> records;
  KX_TRY(for_each_layer_record(kx_dir, layer, [&](Value&& record) -> Status {
    records.push_back(std::move(record));
    return {};
  }));
  return records;
}

Result<MergeStats> absorb(const std::string& source, const std::string& target,
                          const AbsorbOptions& options) {
  if (!is_dir(store_dir(source))) return fail_msg("Source has no .kx/ directory: " + source);
  MergeStats stats;
  KeyEncoder encoder;
  for (const LayerSpec& info : kLayers)
    KX_TRY(absorb_layer(source, target, info, options.carry_withdrawals, encoder, stats));
  // After the layers: an author or section first added by this merge from a
  // record that is not its revoked one is marked too.
  if (options.carry_withdrawals) KX_TRY(carry_withdrawals(source, target, stats));
  KX_TRY(absorb_token_indexes(source, target, options, encoder, stats));

  // The build regenerates the derived indexes from the grown layers; its
  // failure leaves them stale but does not undo or fail the merge.
  if (stats.authors_added + stats.sections_added + stats.document_added > 0)
    (void)build_index(target);
  std::string detail = merge_log_detail(source, stats);
  if (options.carry_withdrawals) {
    detail += " revoked_authors=" + std::to_string(stats.authors_revoked) +
              " revoked_sections=" + std::to_string(stats.sections_revoked) +
              " revoked_documents=" + std::to_string(stats.documents_revoked) +
              " revoked_token_entries=" + std::to_string(stats.token_entries_revoked) +
              " matched_without_identity=" + std::to_string(stats.matched_without_identity);
  }
  KX_TRY(oplog::append(target, "merge", detail));
  return stats;
}

}  // namespace kestrix
