// Source matching over the merged token-index files: the fast candidate test,
// the entry test, the fast and full revocations, and the forget set computed
// from the merged files.
#include "token_match.h"

#include <cstring>

#include "fs.h"
#include "mmap_lines.h"
#include "storage.h"

namespace kestrix {
namespace {

uint32_t key_at(const char* p) {
  auto b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
// The filter bit of a key: its second and third bytes.
uint32_t filter_bit(uint32_t key) { return (key >> 8) & 0xffff; }

// Calls fn(line) for every non-empty run of bytes between line feeds; unlike
// for_each_line, a trailing carriage return stays part of the line.
template <typename Fn>
void for_each_raw_line(std::string_view bytes, Fn&& fn) {
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  while (p < end) {
    const void* nl = memchr(p, '\n', static_cast<size_t>(end - p));
    const char* stop = nl ? static_cast<const char*>(nl) : end;
    if (stop > p) fn(std::string_view(p, static_cast<size_t>(stop - p)));
    p = stop + 1;
  }
}

// The matching entry of a candidate line, or nullopt.
std::optional<TokenIndexEntry> match_line(const FastMatcher& matcher, std::string_view line,
                                          const std::set<std::string>& targets) {
  if (!matcher.is_candidate(line)) return std::nullopt;
  auto entry = parse_token_entry_line(line);
  if (!entry || !entry_has_target(*entry, targets)) return std::nullopt;
  return entry;
}

Status replace_file(const std::string& path, std::string_view content) {
  KX_ASSIGN_OR_RETURN(auto file, AtomicFile::begin(path));
  KX_TRY(file.write(content));
  return file.commit();
}

// The flipped image of one merged file, or nullopt when nothing in it matches.
std::optional<std::string> revoke_in_file(std::string_view bytes, const FastMatcher& matcher,
                                          const std::set<std::string>& targets, uint64_t& count) {
  std::string out;
  uint64_t flipped = 0;
  for_each_raw_line(bytes, [&](std::string_view line) {
    if (auto entry = match_line(matcher, line, targets)) {
      if (flipped++ == 0) out.reserve(bytes.size() + 64);
      entry->revoked = !entry->revoked;
      append_token_entry_line(out, *entry);
    } else {
      out.append(line);
    }
    out.push_back('\n');
  });
  if (flipped == 0) return std::nullopt;
  count += flipped;
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// FastMatcher

FastMatcher::FastMatcher(const std::vector<std::string>& patterns) : filter_(65536 / 64, 0) {
  for (const auto& p : patterns) {
    // Shorter patterns have no four-byte key and can never match.
    if (p.size() < 4) continue;
    uint32_t key = key_at(p.data());
    by_key_[key].push_back(p);
    filter_[filter_bit(key) / 64] |= uint64_t{1} << (filter_bit(key) % 64);
  }
}

FastMatcher FastMatcher::for_targets(const std::set<std::string>& targets) {
  std::vector<std::string> patterns;
  patterns.reserve(targets.size());
  for (const auto& t : targets) patterns.push_back("\"" + t + "\"");
  return FastMatcher(patterns);
}

bool FastMatcher::is_candidate(std::string_view line) const {
  if (by_key_.empty()) return false;
  const char* base = line.data();
  size_t n = line.size();
  size_t j = 0;
  while (j + 4 <= n) {
    const void* q = memchr(base + j, '"', n - 3 - j);
    if (!q) return false;
    j = static_cast<size_t>(static_cast<const char*>(q) - base);
    uint32_t key = key_at(base + j);
    uint32_t bit = filter_bit(key);
    if (filter_[bit / 64] >> (bit % 64) & 1) {
      if (auto it = by_key_.find(key); it != by_key_.end())
        for (const auto& p : it->second)
          if (p.size() <= n - j && memcmp(base + j, p.data(), p.size()) == 0) return true;
    }
    ++j;
  }
  return false;
}

bool entry_has_target(const TokenIndexEntry& entry, const std::set<std::string>& targets) {
  for (const auto& s : entry.sources)
    if (targets.contains(s)) return true;
  return false;
}

namespace token_index {

Result<std::vector<TokenIndexEntry>> find_entries_by_sources_fast(
    const std::string& kx_dir, const std::string& tokenizer, const std::set<std::string>& targets) {
  KX_ASSIGN_OR_RETURN(auto files, get_merged_files(kx_dir, tokenizer));
  FastMatcher matcher = FastMatcher::for_targets(targets);
  std::vector<TokenIndexEntry> found;
  for (const auto& file : files) {
    KX_ASSIGN_OR_RETURN(auto bytes, mmap_file(file.second));
    if (!bytes || matcher.empty()) continue;
    for_each_line(bytes->view(), [&](std::string_view line) {
      if (auto entry = match_line(matcher, line, targets)) found.push_back(std::move(*entry));
    });
  }
  return found;
}

Result<uint64_t> revoke_by_sources_fast(const std::string& kx_dir, const std::string& tokenizer,
                                        const std::set<std::string>& targets) {
  KX_ASSIGN_OR_RETURN(auto files, get_merged_files(kx_dir, tokenizer));
  FastMatcher matcher = FastMatcher::for_targets(targets);
  uint64_t total = 0;
  for (const auto& file : files) {
    KX_ASSIGN_OR_RETURN(auto bytes, mmap_file(file.second));
    if (!bytes || matcher.empty()) continue;
    uint64_t count = 0;
    auto image = revoke_in_file(bytes->view(), matcher, targets, count);
    if (!image) continue;
    KX_TRY(replace_file(file.second, *image));
    total += count;
  }
  return total;
}

Result<uint64_t> revoke_by_sources(const std::string& kx_dir, const std::string& tokenizer,
                                   const std::set<std::string>& target_sources) {
  KX_ASSIGN_OR_RETURN(auto files, get_merged_files(kx_dir, tokenizer));
  uint64_t total = 0;
  for (const auto& file : files) {
    KX_ASSIGN_OR_RETURN(auto records, jsonl_read(file.second));
    uint64_t count = 0;
    for (Value& record : records) {
      auto entry = token_entry_from_json(record);
      if (!entry || !entry_has_target(*entry, target_sources)) continue;
      entry->revoked = !entry->revoked;
      record = token_entry_to_json(*entry);
      ++count;
    }
    if (count == 0) continue;
    std::string image;
    for (const Value& record : records) {
      write_canonical(record, image);
      image.push_back('\n');
    }
    KX_TRY(replace_file(file.second, image));
    total += count;
  }
  return total;
}

Result<std::string> generate_forget_set_fast(const std::string& kx_dir,
                                             const std::string& tokenizer) {
  KX_ASSIGN_OR_RETURN(auto files, get_merged_files(kx_dir, tokenizer));
  std::string bits;
  uint64_t n = 0;
  for (const auto& file : files) {
    KX_ASSIGN_OR_RETURN(auto bytes, mmap_file(file.second));
    if (!bytes) continue;
    // Only lines that are entries take a bit, so bit i is entry id i.
    for_each_token_entry(bytes->view(), [&](TokenIndexEntry&& entry) {
      if (n % 8 == 0) bits.push_back('\0');
      if (entry.revoked) bits.back() = static_cast<char>(bits.back() | (1u << (n % 8)));
      ++n;
    });
  }
  return bits;
}

}  // namespace token_index
}  // namespace kestrix
