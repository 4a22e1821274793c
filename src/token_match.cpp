// Source matching over the merged token-index files: the fast candidate test,
// the entry test, the fast and full revocations, and the forget set computed
// from the merged files.
#include "token_match.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// The filter bit of a key: a multiplicative hash, so that keys differing only
// in their last bytes (hex digits of hashes) spread over the whole filter.
uint32_t filter_bit(uint32_t key) { return (key * 0x9E3779B1u) >> 16; }

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

// Writes the flipped image of one merged file into `out` (reused between
// files to spare page faults) and returns the number of entries flipped.
uint64_t revoke_in_file(std::string_view bytes, const FastMatcher& matcher,
                        const std::set<std::string>& targets, std::string& out) {
  out.clear();
  out.reserve(bytes.size() + 64);
  uint64_t flipped = 0;
  // Raw lines: a trailing carriage return stays part of a line that is kept.
  LineCursor cursor(bytes);
  for (Line line; cursor.next_raw(line);) {
    if (line.text.empty()) continue;
    if (auto entry = match_line(matcher, line.text, targets)) {
      ++flipped;
      entry->revoked = !entry->revoked;
      append_token_entry_line(out, *entry);
    } else {
      out.append(line.text);
    }
    out.push_back('\n');
  }
  return flipped;
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

bool FastMatcher::hit_at(std::string_view line, size_t j) const {
  uint32_t key = key_at(line.data() + j);
  uint32_t bit = filter_bit(key);
  if (!(filter_[bit / 64] >> (bit % 64) & 1)) return false;
  auto it = by_key_.find(key);
  if (it == by_key_.end()) return false;
  for (const auto& p : it->second)
    if (p.size() <= line.size() - j && memcmp(line.data() + j, p.data(), p.size()) == 0)
      return true;
  return false;
}

bool FastMatcher::is_candidate(std::string_view line) const {
  if (by_key_.empty() || line.size() < 4) return false;
  const char* base = line.data();
  size_t limit = line.size() - 3;  // a key needs four bytes from its quote
  size_t j = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: only quote positions are examined further.
  const __m128i quote = _mm_set1_epi8('"');
  for (; j + 16 <= limit; j += 16) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + j));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, quote)));
    for (; mask != 0; mask &= mask - 1)
      if (hit_at(line, j + static_cast<size_t>(__builtin_ctz(mask)))) return true;
  }
#endif
  for (; j < limit; ++j)
    if (base[j] == '"' && hit_at(line, j)) return true;
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
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(file.second));
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
  std::string image;
  for (const auto& file : files) {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(file.second));
    if (!bytes || matcher.empty()) continue;
    uint64_t count = revoke_in_file(bytes->view(), matcher, targets, image);
    if (count == 0) continue;
    KX_TRY(replace_file(file.second, image));
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
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(file.second));
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
