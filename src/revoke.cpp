// Revocation of sections and authors, and of an author's token-index entries.
//
// A revocation flips the `revoked` mark of every record it matches: a boolean
// is negated, anything else (absent, null, a string) becomes true.  Shards are
// rewritten through AtomicFile with the store directory as the place of the
// temporary file, so a failed or interrupted rewrite leaves the old shard
// whole and no layer reader ever lists the temporary file.  Rewritten shards
// hold every record as canonical JSON (keys sorted); lines the JSONL reader
// drops (empty or not JSON) are not written back.
#include "revoke.h"

#include <set>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "authors.h"
#include "fs.h"
#include "json.h"
#include "lib.h"
#include "oplog.h"
#include "storage.h"
#include "token_revoke.h"

namespace kestrix {
namespace {

// Applies the flip rule to every object record whose `key` member is the
// string `wanted`; returns how many records were flipped.
uint64_t flip_matching(std::vector<Value>& records, std::string_view key, std::string_view wanted) {
  uint64_t count = 0;
  for (Value& record : records) {
    Object* object = record.as_object();
    if (object == nullptr) continue;
    const Value* id = object->find(key);
    if (id == nullptr || id->as_string() == nullptr || *id->as_string() != wanted) continue;
    const Value* mark = object->find("revoked");
    const bool* current = mark != nullptr ? mark->as_bool() : nullptr;
    object->set("revoked", Value(current != nullptr ? !*current : true));
    ++count;
  }
  return count;
}

// Replaces the shard with `records`, one canonical line each.
Status rewrite_shard(const std::string& kx_dir, const std::string& shard,
                     const std::vector<Value>& records) {
  std::string text;
  for (const Value& record : records) {
    write_canonical(record, text);
    text.push_back('\n');
  }
  return atomic_write(shard, text, store_dir(kx_dir));
}

// The distinct ids of `found`, in the order of their first appearance.
std::vector<std::string> distinct_ids(const std::vector<Author>& found) {
  std::vector<std::string> ids;
  std::unordered_set<std::string> seen;
  for (const Author& author : found)
    if (seen.insert(author.id).second) ids.push_back(author.id);
  return ids;
}

}  // namespace

Result<uint64_t> revoke_section(const std::string& kx_dir, const std::string& section_hash,
                                bool reverse) {
  KX_ASSIGN_OR_RETURN(std::string shard, shard_path_for_write(kx_dir, "sections", section_hash));
  if (!stat_path(shard)) return 0;
  KX_ASSIGN_OR_RETURN(std::vector<Value> records, jsonl_read(shard));
  const uint64_t count = flip_matching(records, "section_hash", section_hash);
  if (count > 0) KX_TRY(rewrite_shard(kx_dir, shard, records));
  KX_TRY(oplog::append(kx_dir, reverse ? "revoke_reverse_section" : "revoke_section",
                       section_hash + " (" + std::to_string(count) + " sections toggled)"));
  return count;
}

// Each distinct author id is visited once: visiting an id twice would flip
// its lines back, so an author registered twice could never be revoked.
Result<uint64_t> revoke_by_author(const std::string& kx_dir, const std::string& author_name,
                                  bool reverse) {
  KX_ASSIGN_OR_RETURN(std::vector<Author> found, authors::query(kx_dir, author_name, std::nullopt));
  if (found.empty()) return 0;
  uint64_t count = 0;
  for (const std::string& id : distinct_ids(found)) {
    KX_ASSIGN_OR_RETURN(std::string shard, shard_path_for_write(kx_dir, "authors", id));
    if (!stat_path(shard)) continue;
    KX_ASSIGN_OR_RETURN(std::vector<Value> records, jsonl_read(shard));
    count += flip_matching(records, "id", id);
    KX_TRY(rewrite_shard(kx_dir, shard, records));
  }
  KX_TRY(oplog::append(kx_dir, reverse ? "revoke_reverse_author" : "revoke_author",
                       author_name + " (" + std::to_string(count) + " authors toggled)"));
  return count;
}

Result<uint64_t> revoke_by_author_token(const std::string& kx_dir, const std::string& author_name,
                                        const std::string& tokenizer, bool reverse) {
  KX_ASSIGN_OR_RETURN(std::vector<Author> found, authors::query(kx_dir, author_name, std::nullopt));
  if (found.empty()) return 0;
  std::unordered_set<std::string> ids;
  for (const Author& author : found) ids.insert(author.id);
  KX_ASSIGN_OR_RETURN(std::set<std::string> targets, sections_listing_authors(kx_dir, ids));
  if (targets.empty()) return 0;
  KX_ASSIGN_OR_RETURN(uint64_t count, revoke_token_entries(kx_dir, tokenizer, targets));
  KX_TRY(oplog::append(kx_dir, reverse ? "revoke_reverse_token" : "revoke_token",
                       author_name + " tokenizer=" + tokenizer + " count=" + std::to_string(count)));
  return count;
}

}  // namespace kestrix
