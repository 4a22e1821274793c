// Tracking whole data files; see track_file.h.
//
// The scan reads the file in blocks; the lines of a block are parsed, checked,
// counted and hashed by pool tasks, one per slice, while the next block is
// read.  Each line leaves a spool entry (its digest, its token count and the
// id of its list of section references), in file order.  The commit counts
// the records the store already holds for the file (unless re-tracking),
// then goes through the spool and writes the records still missing.
#include "track_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>

#include "coding.h"
#include "data_blocks.h"
#include "data_file_lock.h"
#include "fs.h"
#include "hash.h"
#include "hash_tables.h"
#include "indexer.h"
#include "json_tape.h"
#include "lib.h"
#include "line_filter.h"
#include "mmap_lines.h"
#include "pool.h"
#include "records.h"
#include "storage.h"
#include "token_index.h"
#include "utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrix {
namespace {

using RefList = std::vector<std::string>;

// A spool entry: digest, reference list id, token count.
constexpr size_t kEntrySize = 32 + 4 + 8;
// The spool is held in memory up to this size, then moved to a file.
constexpr size_t kSpoolMemory = size_t{32} << 20;

// ------------------------------------------------------------ Counting ---

constexpr bool is_ascii_space(unsigned char c) { return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20); }

// The length of the white-space character of more than one byte at s[i]
// (U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000), or 0.
size_t unicode_space_at(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0; };
  switch (byte(0)) {
    case 0xc2: return byte(1) == 0x85 || byte(1) == 0xa0 ? 2 : 0;
    case 0xe1: return byte(1) == 0x9a && byte(2) == 0x80 ? 3 : 0;
    case 0xe2:
      if (byte(1) == 0x80) {
        const unsigned char c = byte(2);
        return c <= 0x8a || c == 0xa8 || c == 0xa9 || c == 0xaf ? 3 : 0;
      }
      return byte(1) == 0x81 && byte(2) == 0x9f ? 3 : 0;
    case 0xe3: return byte(1) == 0x80 && byte(2) == 0x80 ? 3 : 0;
    default: return 0;
  }
}

// The characters of a string in canonical escaped form (json.h): the only
// escapes are \" \\ \b \f \n \r \t and \u00XX.
void append_unescaped(std::string_view s, std::string& out) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out.push_back(s[i]);
      continue;
    }
    const char e = s[++i];
    switch (e) {
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u':
        if (i + 4 < s.size()) {
          out.push_back(static_cast<char>(hex_digit_value(s[i + 3]) * 16 + hex_digit_value(s[i + 4])));
          i += 4;
        }
        break;
      default: out.push_back(e); break;
    }
  }
}

// ------------------------------------------------------------- Scanning ---

struct LineEntry {
  Digest digest;
  uint64_t count;
  uint32_t list;  // the slice's own id of the line's reference list
};

// A run of whole lines of a block handled by one task, and what it found.
struct Slice {
  size_t begin = 0, end = 0;
  uint64_t raw_lines = 0;  // line feeds in the slice
  std::vector<LineEntry> lines;
  std::vector<RefList> lists;  // the slice's reference lists by id
  std::vector<uint64_t> list_first_lines;  // raw line index of each list's first use
  bool failed = false;
  uint64_t failed_at = 0;  // raw line index in the slice
  std::string why;
};

// Reads one line's fields and hash; on failure sets `why`.
class LineReader {
 public:
  LineReader(const TrackOptions& options, JsonTape& tape, std::string& scratch)
      : options_(options), tape_(tape), unescaped_(scratch) {}

  bool read(std::string_view text, LineEntry& entry, RefList& refs, std::string& why) {
    if (!tape_.parse(text, JsonTape::Target::kCanonical)) {
      why = why_not_trackable(text);
      return false;
    }
    if (options_.source_field && !read_references(refs, why)) return false;
    entry.count = 0;
    if (options_.counter == TokenCounter::kField && !read_count_field(entry.count, why)) return false;
    if (options_.counter == TokenCounter::kWhitespace || options_.counter == TokenCounter::kBytes)
      entry.count = count_text(text);
    sha256_canonical(tape_, entry.digest.data());
    if (tape_.ambiguity() != JsonTape::Ambiguity::kNone) {
      why = why_ambiguous();
      return false;
    }
    return true;
  }

 private:
  // A line whose hash other lines share would be told apart from them by
  // nothing: blame would name their sources, and a purge of theirs would
  // take it.  Such a line is refused rather than recorded.
  std::string why_ambiguous() const {
    const std::string& text = tape_.ambiguous_text();
    std::string what;
    switch (tape_.ambiguity()) {
      case JsonTape::Ambiguity::kWideInteger:
        what = "the integer " + text + " does not fit in 64 bits (it would be held as the nearest double)";
        break;
      case JsonTape::Ambiguity::kUnderflow:
        what = "the number " + text + " is too small for a double (it would be held as zero)";
        break;
      default:
        what.clear();
        append_json_string(text, what);
        what = "the key " + what + " appears more than once (only its last value would be held)";
        break;
    }
    return what + ", so the line's hash would be that of other lines";
  }

  // Valid JSON the store refuses (lone surrogates, deep nesting, numbers
  // beyond a double) is told apart from text that is no JSON at all.
  std::string why_not_trackable(std::string_view text) const {
    if (!is_valid_utf8(text)) return "the line is not valid UTF-8";
    const std::string error = tape_.error();
    if (error.starts_with("number out of range"))
      return "the number " + number_before(text, tape_.error_offset()) + " is out of range (" + error + ")";
    if (error.starts_with("lone") || error.starts_with("recursion"))
      return "the line holds a value the store cannot hold (" + error + ")";
    return "the line is not JSON (" + error + ")";
  }

  // The number that ends at `end` of `text`, as written.
  static std::string number_before(std::string_view text, size_t end) {
    end = std::min(end, text.size());
    size_t begin = end;
    while (begin > 0 && std::string_view("0123456789+-.eE").find(text[begin - 1]) != std::string_view::npos)
      --begin;
    return std::string(text.substr(begin, end - begin));
  }

  bool read_references(RefList& refs, std::string& why) {
    refs.clear();
    const uint32_t field = tape_.member(*options_.source_field);
    using enum JsonTape::NodeKind;
    const auto add = [&](uint32_t node) {
      refs.emplace_back();
      append_unescaped(tape_.string_at(node), refs.back());
    };
    if (field != JsonTape::kNoNode && tape_.kind_at(field) == kString) {
      add(field);
    } else if (field != JsonTape::kNoNode && tape_.kind_at(field) == kArray) {
      bool strings = true;
      tape_.for_each_element(field, [&](uint32_t e) {
        if (tape_.kind_at(e) == kString) add(e);
        else strings = false;
      });
      if (!strings) refs.clear();
    }
    if (refs.empty()) why = "field '" + *options_.source_field + "' holds no section";
    return !refs.empty();
  }

  bool read_count_field(uint64_t& count, std::string& why) {
    const uint32_t field = tape_.member(options_.count_field);
    if (field == JsonTape::kNoNode || tape_.kind_at(field) != JsonTape::NodeKind::kUint) {
      why = "field '" + options_.count_field + "' is missing or not a token count";
      return false;
    }
    count = tape_.uint_at(field);
    return true;
  }

  // The text the built-in counters count: the record's text member, the
  // string a JSON string line holds, or else the line's own text.
  uint64_t count_text(std::string_view line) {
    std::string_view text = line;
    uint32_t node = tape_.member(options_.count_field);
    if (node == JsonTape::kNoNode || tape_.kind_at(node) != JsonTape::NodeKind::kString)
      node = tape_.kind_at(0) == JsonTape::NodeKind::kString ? 0 : JsonTape::kNoNode;
    if (node != JsonTape::kNoNode) {
      text = tape_.string_at(node);
      if (text.find('\\') != std::string_view::npos) {
        unescaped_.clear();
        append_unescaped(text, unescaped_);
        text = unescaped_;
      }
    }
    return options_.counter == TokenCounter::kBytes ? text.size() : count_words(text);
  }

  const TrackOptions& options_;
  JsonTape& tape_;
  std::string& unescaped_;
};

void scan_slice(const DataBlock& block, Slice& slice, const TrackOptions& options) {
  thread_local JsonTape tape;
  thread_local std::string scratch;
  LineReader reader(options, tape, scratch);
  std::map<RefList, uint32_t> ids;
  RefList refs;
  LineCursor cursor(block.lines(), slice.begin, slice.end);
  for (Line line; cursor.next_raw(line); ++slice.raw_lines) {
    std::string_view text = line.text;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.empty()) continue;
    LineEntry entry;
    if (!reader.read(text, entry, refs, slice.why)) {
      slice.failed = true;
      slice.failed_at = slice.raw_lines;
      return;
    }
    entry.list = 0;
    if (options.source_field) {
      auto [it, added] = ids.try_emplace(refs, static_cast<uint32_t>(slice.lists.size()));
      if (added) {
        slice.lists.push_back(refs);
        slice.list_first_lines.push_back(slice.raw_lines);
      }
      entry.list = it->second;
    }
    slice.lines.push_back(entry);
  }
}

// -------------------------------------------------------------- Spool ---

// Spool entries in file order: in memory up to kSpoolMemory, beyond that in
// an unnamed file of the store directory, which vanishes with the process.
class Spool {
 public:
  explicit Spool(std::string dir) : dir_(std::move(dir)) {}

  Status add(const char* entry) {
    held_.append(entry, kEntrySize);
    if (held_.size() < kSpoolMemory) return {};
    if (file_.get() < 0) {
      KX_ASSIGN_OR_RETURN(file_, unnamed_file());
    }
    KX_TRY(write_all(file_.get(), held_));
    spilled_ += held_.size();
    held_.clear();
    return {};
  }

  // Calls fn(entries) for runs of whole entries, in order, each at most
  // about kSpoolMemory / 4 bytes.
  template <typename Fn>
  Status for_each_run(Fn&& fn) const {
    constexpr size_t kRun = kSpoolMemory / 4 / kEntrySize * kEntrySize;
    std::string run;
    for (uint64_t at = 0; at < spilled_; at += run.size()) {
      run.resize(static_cast<size_t>(std::min<uint64_t>(kRun, spilled_ - at)));
      KX_ASSIGN_OR_RETURN(size_t got, read_at(file_.get(), run.data(), run.size(), at));
      if (got != run.size()) return fail_msg("the spool file of a tracking ended early");
      KX_TRY(fn(std::string_view(run)));
    }
    for (size_t at = 0; at < held_.size(); at += kRun)
      KX_TRY(fn(std::string_view(held_).substr(at, kRun)));
    return {};
  }

  uint64_t entries() const { return (spilled_ + held_.size()) / kEntrySize; }

 private:
  Result<UniqueFd> unnamed_file() {
    UniqueFd fd(open_retry(dir_.c_str(), O_TMPFILE | O_RDWR, 0600));
    if (fd.get() >= 0) return fd;
    // Without O_TMPFILE: a unique name, removed at once.
    static std::atomic<uint64_t> counter{0};
    const std::string path = path_join(dir_, ".spool-" + std::to_string(getpid()) + "-" +
                                                 std::to_string(counter++));
    fd.reset(open_retry(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    if (fd.get() < 0) return fail(Error::os(errno).context("creating a spool file in " + quote_path(dir_)));
    ::unlink(path.c_str());
    return fd;
  }

  std::string dir_;
  std::string held_;
  UniqueFd file_;
  uint64_t spilled_ = 0;
};

}  // namespace

namespace {

// The bits set in a 16-bit mask.  __builtin_popcount is a library call on
// baseline x86-64, which has no popcnt instruction; this is a few shifts.
inline uint64_t bits_set16(unsigned x) {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0f0fu;
  return (x + (x >> 8)) & 0x1fu;
}

// Word starts in 16 bytes of ASCII text without the control characters
// that are no white space (below 0x09, 0x0e to 0x1b); false when the bytes
// hold any other, for count_words' byte loop.  `in_space` carries whether
// the byte before is white space.
bool count_ascii_block(const unsigned char* p, uint64_t& words, bool& in_space) {
#if defined(__SSE2__)
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i below_1c = _mm_cmplt_epi8(b, _mm_set1_epi8(0x1c));  // also true for bytes >= 0x80
  const __m128i tab_to_cr = _mm_and_si128(_mm_cmpgt_epi8(b, _mm_set1_epi8(0x08)),
                                          _mm_cmplt_epi8(b, _mm_set1_epi8(0x0e)));
  if (_mm_movemask_epi8(_mm_andnot_si128(tab_to_cr, below_1c)) != 0) return false;
  // What is left is white space exactly when it is at most 0x20.
  const unsigned space = _mm_movemask_epi8(_mm_cmplt_epi8(b, _mm_set1_epi8(0x21)));
  const unsigned word = ~space & 0xffff;
  const unsigned after_space = ((space << 1) | (in_space ? 1u : 0u)) & 0xffff;
  words += bits_set16(word & after_space);
  in_space = (space >> 15) & 1;
  return true;
#else
  (void)p, (void)words, (void)in_space;
  return false;
#endif
}

}  // namespace

uint64_t count_words(std::string_view text) {
  // Per byte: 1 for ASCII white space, 2 for a byte that may begin a longer
  // white-space character, 0 for anything else (continuation bytes too).
  static constexpr auto kClass = [] {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 0x80; ++c) t[c] = is_ascii_space(static_cast<unsigned char>(c));
    t[0xc2] = t[0xe1] = t[0xe2] = t[0xe3] = 2;
    return t;
  }();
  uint64_t words = 0;
  bool in_space = true;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    if (i + 16 <= text.size() && count_ascii_block(p + i, words, in_space)) {
      i += 16;
      continue;
    }
    uint8_t cls = kClass[p[i]];
    size_t step = 1;
    if (cls == 2) {
      step = unicode_space_at(text, i);
      cls = step > 0;
      step = std::max<size_t>(step, 1);
    }
    words += in_space & !cls;
    in_space = cls;
    i += step;
  }
  return words;
}

// ------------------------------------------------------------ FileTracking ---

struct FileTracking::State {
  TrackOptions options;
  TrackedFile counts;
  std::vector<SourceReference> references;
  std::vector<std::vector<uint32_t>> lists;  // reference lists as indexes into references
  FlatMap<std::string, uint32_t> reference_ids;
  std::map<std::vector<uint32_t>, uint32_t> list_ids;
  Spool spool;

  explicit State(const TrackOptions& s) : options(s), spool(store_dir(s.kx_dir)) {}

  // Takes the slices of one block in order.
  Status take(std::vector<Slice>& slices, uint64_t& line_base);
  // The id in the whole file of a list of references first used on line
  // `line_number`.
  uint32_t global_list(const RefList& refs, uint64_t line_number);
};

FileTracking::FileTracking(std::unique_ptr<State> state) : state_(std::move(state)) {}
FileTracking::FileTracking(FileTracking&&) noexcept = default;
FileTracking& FileTracking::operator=(FileTracking&&) noexcept = default;
FileTracking::~FileTracking() = default;

const TrackedFile& FileTracking::counts() const { return state_->counts; }
const std::vector<SourceReference>& FileTracking::references() const { return state_->references; }

uint32_t FileTracking::State::global_list(const RefList& refs, uint64_t line_number) {
  std::vector<uint32_t> indexes;
  for (const std::string& ref : refs) {
    auto [it, added] = reference_ids.try_emplace(ref, static_cast<uint32_t>(references.size()));
    if (added) references.push_back({ref, line_number});
    indexes.push_back(it->second);
  }
  auto [it, added] = list_ids.try_emplace(indexes, static_cast<uint32_t>(lists.size()));
  if (added) lists.push_back(std::move(indexes));
  return it->second;
}

Status FileTracking::State::take(std::vector<Slice>& slices, uint64_t& line_base) {
  char entry[kEntrySize];
  for (Slice& slice : slices) {
    if (slice.failed)
      return fail_msg(options.data_file + ":" + std::to_string(line_base + slice.failed_at + 1) + ": " +
                      slice.why);
    // The slice's reference lists, by their ids in the whole file.
    std::vector<uint32_t> ids(slice.lists.size());
    for (size_t i = 0; i < slice.lists.size(); ++i)
      ids[i] = global_list(slice.lists[i], line_base + slice.list_first_lines[i] + 1);
    for (const LineEntry& line : slice.lines) {
      const uint32_t list = options.source_field ? ids[line.list] : 0;
      std::memcpy(entry, line.digest.data(), 32);
      std::memcpy(entry + 32, &list, 4);
      std::memcpy(entry + 36, &line.count, 8);
      KX_TRY(spool.add(entry));
      if (counts.lines == 0) counts.first_hash = bytes_to_hex(line.digest.data(), 32);
      ++counts.lines;
    }
    if (!slice.lines.empty()) counts.last_hash = bytes_to_hex(slice.lines.back().digest.data(), 32);
    line_base += slice.raw_lines;
  }
  return {};
}

Result<FileTracking> FileTracking::scan(const TrackOptions& options) {
  if (options.tokenizer && !is_valid_tokenizer_name(*options.tokenizer))
    return fail(token_index::invalid_tokenizer_error(*options.tokenizer));
  auto state = std::make_unique<State>(options);
  auto info = stat_path(options.data_file);
  if (!info) return fail(Error::os(errno).about(options.data_file));
  BlockReader reader;
  KX_TRY(reader.open(options.data_file, info->size));

  DataBlock blocks[2];
  std::vector<Slice> slices;
  std::vector<Status> reads;
  uint64_t line_base = 0;
  auto read_block = [&](DataBlock& block, std::string_view carry) -> Status {
    KX_TRY(reader.begin(carry, block));
    reads.assign(reader.chunk_count(), Status{});
    return {};
  };
  KX_TRY(read_block(blocks[0], {}));
  parallel_for(reads.size(), [&](size_t i) { reads[i] = reader.read_chunk(blocks[0], i); });
  for (Status& st : reads) KX_TRY(st);
  KX_TRY(reader.finish(blocks[0]));
  for (size_t k = 0;; ++k) {
    DataBlock& current = blocks[k % 2];
    DataBlock& following = blocks[(k + 1) % 2];
    const bool more = !reader.at_end();
    slices.clear();
    for (auto [begin, end] : current.slice_bounds()) slices.push_back(Slice{begin, end});
    reads.clear();
    if (more) KX_TRY(read_block(following, current.tail()));
    // One loop both reads the next block and scans this one.
    parallel_for(reads.size() + slices.size(), [&](size_t i) {
      if (i < reads.size()) reads[i] = reader.read_chunk(following, i);
      else scan_slice(current, slices[i - reads.size()], options);
    });
    for (Status& st : reads) KX_TRY(st);
    KX_TRY(state->take(slices, line_base));
    if (!more) break;
    KX_TRY(reader.finish(following));
  }
  return FileTracking(std::move(state));
}

// ------------------------------------------------------------- Commit ---

namespace {

// The stored lines of one reference list, around the parts that vary.
struct LineTemplate {
  std::string record_head, record_tail;  // around the line hash
  std::string entry_mid, entry_tail;     // after the token count, around the line hash
};

constexpr std::string_view kEntryHead = "{\"token_count\":";

// The part of `line` before the placeholder hash and the part after it.
std::pair<std::string, std::string> split_at_hash(const std::string& line, std::string_view member) {
  const std::string placeholder(64, '0');
  const size_t at = line.find("\"" + std::string(member) + "\":\"" + placeholder) + member.size() + 4;
  return {line.substr(0, at), line.substr(at + 64)};
}

LineTemplate line_template(const TrackOptions& options, const std::vector<std::string>& sources) {
  LineTemplate t;
  const std::string placeholder(64, '0');
  std::string record;
  append_document_line(record, placeholder, options.recorded_as, sources);
  std::tie(t.record_head, t.record_tail) = split_at_hash(record, "line_hash");
  if (options.tokenizer) {
    // Each entry names its line and file, so that a rerun, a merge and a
    // forget-set map can tell it from the entries of equal lines.
    std::string entry;
    append_token_entry_line(entry, TokenIndexEntry{0, sources, *options.tokenizer, false, placeholder,
                                                   options.recorded_as});
    auto [head, tail] = split_at_hash(entry, "line_hash");
    t.entry_mid = head.substr(kEntryHead.size() + 1);
    t.entry_tail = tail + "\n";
  }
  return t;
}

struct DigestList {
  Digest digest;
  uint32_t list;
  bool operator==(const DigestList&) const = default;
  friend size_t hash_value(const DigestList& k) {
    size_t seed = DigestHash{}(k.digest);
    boost::hash_combine(seed, k.list);
    return seed;
  }
};

using RecordCounts = FlatMap<DigestList, uint64_t>;
using SourceIds = std::map<std::vector<std::string>, uint32_t>;

// The key of the spool entry at `entry`, its source list made canonical.
DigestList spool_key(const char* entry, const std::vector<uint32_t>& canonical) {
  DigestList key;
  std::memcpy(key.digest.data(), entry, 32);
  std::memcpy(&key.list, entry + 32, 4);
  key.list = canonical[key.list];
  return key;
}

// At most about this many keys of the store's records are held at once
// (some 50 MB); more are matched against the spool in several passes.
constexpr size_t kHeldKeys = size_t{1} << 19;

// Which lines of the spool the store holds records for already: of the
// lines with one (line, sources) key, the first n in file order, n being
// the number of records of the file with that key.  Records with sources no
// line of the file has are left out.  The store's records are counted shard
// by shard and matched against the spool whenever kHeldKeys are held, so
// memory grows with neither the store nor the file (but for one bit per
// line).  Empty when no line is recorded.
Result<std::vector<bool>> recorded_lines(const TrackOptions& options, const SourceIds& source_ids,
                                         const std::vector<uint32_t>& canonical, const Spool& spool) {
  std::vector<bool> recorded;
  RecordCounts counts;
  Status matched;
  auto match = [&] {
    if (counts.empty() || !matched) return;
    if (recorded.empty()) recorded.resize(spool.entries());
    size_t line = 0;
    matched = spool.for_each_run([&](std::string_view run) -> Status {
      for (size_t at = 0; at < run.size(); at += kEntrySize, ++line) {
        if (recorded[line]) continue;
        auto it = counts.find(spool_key(run.data() + at, canonical));
        if (it == counts.end() || it->second == 0) continue;
        --it->second;
        recorded[line] = true;
      }
      return {};
    });
    counts.clear();
  };
  const StringSet file_name({options.recorded_as});
  using Found = std::pair<Digest, uint32_t>;
  KX_TRY(scan_shards<std::vector<Found>>(
      options.known_in.empty() ? options.kx_dir : options.known_in, "document-index",
      [&](std::string_view bytes, std::vector<Found>& out) {
        for_each_line_holding(bytes, file_name, [&](std::string_view line) {
          auto record = parse_document_line(line);
          if (!record || record->file != options.recorded_as) return;
          auto id = source_ids.find(record->sources);
          auto digest = digest_from_hex(record->line_hash, HexCase::kLower);
          if (id != source_ids.end() && digest) out.emplace_back(*digest, id->second);
        });
      },
      [&](std::vector<Found> found) {
        for (const auto& [digest, id] : found) ++counts[DigestList{digest, id}];
        if (counts.size() >= kHeldKeys) match();
      }));
  match();
  KX_TRY(matched);
  return recorded;
}

// The token entries a tokenizer already holds for the lines of the spool.
struct CountedLines {
  std::vector<bool> counted;  // empty when no line has one
  uint64_t without_identity = 0;  // of them, matched to entries that name no line
};

// Which lines of the spool have a token entry under the tokenizer already,
// in the merged and pid files of the store: of the lines with one (line,
// sources) key, the first n in file order, n being the number of entries
// naming that line, this file and those sources.  Entries of older writers
// name no line; they are matched per (sources, token count) to the lines
// that `eligible` allows, after the entries with identity, so that a store
// written before entries had identity is not counted twice.  Memory as in
// recorded_lines(), plus one count per (sources, token count) of entries
// without identity.
template <typename Eligible>
Result<CountedLines> counted_lines(const TrackOptions& options, const SourceIds& source_ids,
                                   const std::vector<uint32_t>& canonical, const Spool& spool,
                                   Eligible&& eligible) {
  CountedLines result;
  std::vector<bool>& counted = result.counted;
  RecordCounts counts;
  std::map<std::pair<uint32_t, uint64_t>, uint64_t> unidentified;
  Status matched;
  auto match = [&] {
    if (counts.empty() || !matched) return;
    if (counted.empty()) counted.resize(spool.entries());
    size_t line = 0;
    matched = spool.for_each_run([&](std::string_view run) -> Status {
      for (size_t at = 0; at < run.size(); at += kEntrySize, ++line) {
        if (counted[line]) continue;
        auto it = counts.find(spool_key(run.data() + at, canonical));
        if (it == counts.end() || it->second == 0) continue;
        --it->second;
        counted[line] = true;
      }
      return {};
    });
    counts.clear();
  };
  const std::string& store = options.known_in.empty() ? options.kx_dir : options.known_in;
  KX_ASSIGN_OR_RETURN(auto merged, token_index::get_merged_files(store, *options.tokenizer));
  KX_ASSIGN_OR_RETURN(auto paths, token_index::get_pid_files(store, *options.tokenizer));
  for (auto& [number, path] : merged) paths.push_back(std::move(path));
  TokenEntryParts parts;
  TokenIndexEntry parsed;
  std::vector<std::string> sources;
  for (const std::string& path : paths) {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
    if (!bytes) continue;
    for_each_line(bytes->view(), [&](std::string_view line) {
      if (!parse_token_entry_parts(line, parts, parsed)) return;
      if (parts.has_identity() && parts.file != options.recorded_as) return;
      sources.assign(parts.sources.begin(), parts.sources.end());
      auto id = source_ids.find(sources);
      if (id == source_ids.end()) return;
      if (!parts.has_identity()) {
        ++unidentified[{id->second, parts.token_count}];
        return;
      }
      auto digest = digest_from_hex(parts.line_hash, HexCase::kLower);
      if (!digest) return;
      ++counts[DigestList{*digest, id->second}];
      if (counts.size() >= kHeldKeys) match();
    });
  }
  match();
  KX_TRY(matched);
  if (unidentified.empty()) return result;
  if (counted.empty()) counted.resize(spool.entries());
  size_t line = 0;
  KX_TRY(spool.for_each_run([&](std::string_view run) -> Status {
    for (size_t at = 0; at < run.size(); at += kEntrySize, ++line) {
      if (counted[line] || !eligible(line)) continue;
      uint64_t count;
      std::memcpy(&count, run.data() + at + 36, 8);
      auto it = unidentified.find({spool_key(run.data() + at, canonical).list, count});
      if (it == unidentified.end() || it->second == 0) continue;
      --it->second;
      counted[line] = true;
      ++result.without_identity;
    }
    return {};
  }));
  return result;
}

// Lines are written in batches of this many, in file order: the records of
// a batch shard by shard, then its token entries.  A kill leaves at most
// one batch with records whose entries are missing.
constexpr size_t kBatchLines = 1 << 16;

// The records and entries of one batch of lines.
class Batch {
 public:
  explicit Batch(const TrackOptions& options) : options_(options) {}

  void add_record(const Digest& digest, const LineTemplate& t) {
    std::string& out = records_[digest[0]];
    char hex[64];
    write_hex(digest.data(), 32, hex);
    out += t.record_head;
    out.append(hex, 64);
    out += t.record_tail;
  }
  void add_entry(uint64_t count, const Digest& digest, const LineTemplate& t) {
    char hex[64];
    write_hex(digest.data(), 32, hex);
    entries_ += kEntryHead;
    entries_ += std::to_string(count);
    entries_ += t.entry_mid;
    entries_.append(hex, 64);
    entries_ += t.entry_tail;
  }

  Status write() {
    if (!options_.records_file.empty()) {
      KX_TRY(write_records_file());
    } else {
      KX_TRY(write_shards());
    }
    if (!entries_.empty()) KX_TRY(token_index::write_pid_lines(options_.kx_dir, *options_.tokenizer, entries_));
    entries_.clear();
    return {};
  }

 private:
  Status write_shards() {
    for (size_t shard = 0; shard < records_.size(); ++shard) {
      if (records_[shard].empty()) continue;
      const uint8_t byte = static_cast<uint8_t>(shard);
      KX_ASSIGN_OR_RETURN(std::string path, document_shard_for_write(options_.kx_dir, bytes_to_hex(&byte, 1)));
      UniqueFd fd = open_for_append(path);
      if (fd.get() < 0) return fail(Error::os(errno).about(path));
      KX_TRY(append_whole_lines(fd.get(), path, records_[shard]));
      records_[shard].clear();
    }
    return {};
  }

  // The batch's records appended to the records file shard after shard,
  // then their runs.  The file is the task's own, so the batch goes in one
  // request: a file written in large requests is cached in large pages,
  // which the client absorbing it maps and the removal of the task's store
  // frees for a fraction of the cost of small ones.
  Status write_records_file() {
    const std::string& path = options_.records_file;
    std::string runs;
    std::vector<std::string_view> parts;
    for (size_t shard = 0; shard < records_.size(); ++shard) {
      if (records_[shard].empty()) continue;
      const uint8_t byte = static_cast<uint8_t>(shard);
      runs += bytes_to_hex(&byte, 1) + ' ' + std::to_string(records_[shard].size()) + '\n';
      parts.push_back(records_[shard]);
    }
    if (parts.empty()) return {};
    UniqueFd fd = open_for_append(path);
    if (fd.get() < 0) return fail(Error::os(errno).about(path));
    if (Status st = write_all(fd.get(), parts); !st) return fail(std::move(st).error().about(path));
    for (auto& records : records_) records.clear();
    return append_to_file(path + ".runs", runs);
  }

  const TrackOptions& options_;
  std::array<std::string, 256> records_;
  std::string entries_;
};

}  // namespace

Result<TrackedFile> FileTracking::commit(const std::vector<std::string>& resolved) {
  const TrackOptions& options = state_->options;
  // The sources of each reference list, and one id per distinct source list
  // (two lists may name the same sections differently).
  std::vector<std::vector<std::string>> list_sources;
  if (!options.source_field) list_sources.push_back(options.sources);
  for (const auto& list : state_->lists) {
    std::vector<std::string> sources = options.sources;
    for (uint32_t r : list)
      if (std::find(sources.begin(), sources.end(), resolved.at(r)) == sources.end())
        sources.push_back(resolved.at(r));
    list_sources.push_back(std::move(sources));
  }
  SourceIds source_ids;
  std::vector<uint32_t> canonical(list_sources.size());
  std::vector<LineTemplate> templates;
  for (size_t i = 0; i < list_sources.size(); ++i) {
    auto [it, added] = source_ids.try_emplace(list_sources[i], static_cast<uint32_t>(templates.size()));
    if (added) templates.push_back(line_template(options, list_sources[i]));
    canonical[i] = it->second;
  }
  std::optional<DataFileLock> lock;
  bool check = !options.retrack && !options.tokens_only;
  if (options.records_file.empty()) {
    KX_ASSIGN_OR_RETURN(lock, DataFileLock::acquire(options.kx_dir, options.recorded_as));
    if (options.unrecorded_at && lock->untouched_since(*options.unrecorded_at)) check = false;
  }
  std::vector<bool> recorded;
  if (check) {
    KX_ASSIGN_OR_RETURN(recorded, recorded_lines(options, source_ids, canonical, state_->spool));
  }

  const bool entries = options.tokenizer && options.counter != TokenCounter::kNone;
  // A run killed or failed between the records of a batch and their token
  // entries, or a file tracked before without this tokenizer, leaves lines
  // recorded without an entry: they get one now.  A file counted before
  // (--tokens-only) keeps the entries it has.
  const bool any_recorded = std::find(recorded.begin(), recorded.end(), true) != recorded.end();
  CountedLines held;
  if (entries && !options.retrack && (options.tokens_only || any_recorded)) {
    KX_ASSIGN_OR_RETURN(held, counted_lines(options, source_ids, canonical, state_->spool,
                                            [&](size_t line) {
                                              return options.tokens_only || recorded[line];
                                            }));
  }
  TrackedFile counts = state_->counts;
  counts.without_identity = held.without_identity;
  Batch batch(options);
  size_t in_batch = 0;
  size_t line = 0;
  KX_TRY(state_->spool.for_each_run([&](std::string_view run) -> Status {
    for (size_t at = 0; at < run.size(); at += kEntrySize, ++line) {
      const bool has_record = options.tokens_only || (!recorded.empty() && recorded[line]);
      const bool has_entry = !held.counted.empty() && held.counted[line];
      const bool add_entry = entries && !has_entry;
      if (has_record && !add_entry) {
        ++counts.skipped;
        continue;
      }
      const DigestList key = spool_key(run.data() + at, canonical);
      uint64_t count;
      std::memcpy(&count, run.data() + at + 36, 8);
      const LineTemplate& t = templates[key.list];
      if (!has_record) batch.add_record(key.digest, t);
      if (add_entry) {
        batch.add_entry(count, key.digest, t);
        counts.tokens += count;
      }
      if (has_record && !options.tokens_only) {
        ++counts.skipped;
        ++counts.completed;
      } else {
        ++counts.recorded;
      }
      if (++in_batch == kBatchLines) {
        KX_TRY(batch.write());
        in_batch = 0;
      }
    }
    return {};
  }));
  KX_TRY(batch.write());
  if (lock) KX_TRY(lock->finish());
  return counts;
}

}  // namespace kestrix
