// Fuzzes the JSON Lines readers on arbitrary file contents.
//
// Input: one flag byte, then the bytes of a JSON Lines file.  Checked:
// - the line cursor (for_each_line, for_each_line_at, raw lines) against a plain
//   reference split, and jsonl_read / scan_lines_matching of the file
//   against parsing the reference lines;
// - the record readers of records.h (document lines, token-index entry
//   lines, in every form) give exactly what the generic parser
//   and the record's from_json give, and records written back read equal;
// - the pre-filters that skip lines without parsing them (the StringSet line
//   filter, the token-source FastMatcher, the author query's filter) never
//   skip a line that holds one of the strings looked for, and the fast
//   token-source search and revocation agree with the full ones.
#include <algorithm>
#include <set>
#include <vector>

#include "authors.h"
#include "fs.h"
#include "fuzz_common.h"
#include "indexer.h"
#include "json.h"
#include "lib.h"
#include "line_filter.h"
#include "mmap_lines.h"
#include "records.h"
#include "register.h"
#include "storage.h"
#include "token_index.h"
#include "token_match.h"

using namespace kestrix;

namespace {

std::vector<Line> reference_lines(std::string_view bytes) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t nl = bytes.find('\n', start);
    size_t stop = nl == std::string_view::npos ? bytes.size() : nl;
    std::string_view raw = bytes.substr(start, stop - start);
    std::string_view text = raw;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (!text.empty()) lines.push_back({text, start, raw.size()});
    start = stop + 1;
  }
  return lines;
}

void check_splitters(std::string_view bytes, const std::vector<Line>& lines) {
  size_t i = 0;
  for_each_line(bytes, [&](std::string_view line) {
    FUZZ_CHECK(i < lines.size() && line == lines[i].text &&
                   line.data() == lines[i].text.data(),
               "for_each_line line %zu differs", i);
    ++i;
  });
  FUZZ_CHECK(i == lines.size(), "for_each_line gave %zu lines, expected %zu", i, lines.size());
  i = 0;
  for_each_line_at(bytes, [&](std::string_view line, size_t offset, size_t raw_length) {
    FUZZ_CHECK(i < lines.size() && line == lines[i].text && offset == lines[i].offset &&
                   raw_length == lines[i].raw_length,
               "for_each_line_at line %zu differs", i);
    ++i;
  });
  FUZZ_CHECK(i == lines.size(), "for_each_line_at gave %zu lines", i);
  // Raw lines: every run between line feeds, empty ones and carriage
  // returns kept, none after a final line feed.
  std::vector<std::string_view> raw;
  for (size_t start = 0; start < bytes.size();) {
    size_t nl = bytes.find('\n', start);
    size_t stop = nl == std::string_view::npos ? bytes.size() : nl;
    raw.push_back(bytes.substr(start, stop - start));
    start = stop + 1;
  }
  LineCursor cursor(bytes);
  i = 0;
  for (Line line; cursor.next_raw(line); ++i)
    FUZZ_CHECK(i < raw.size() && line.text.data() == raw[i].data() && line.text == raw[i] &&
                   line.offset == static_cast<size_t>(raw[i].data() - bytes.data()) &&
                   line.raw_length == raw[i].size(),
               "raw line %zu differs", i);
  FUZZ_CHECK(i == raw.size(), "next_raw gave %zu lines, expected %zu", i, raw.size());
  // Fed in pieces of 1 to 7 bytes, the same lines.
  PieceLineSplitter pieces;
  i = 0;
  auto take = [&](std::string_view line) {
    FUZZ_CHECK(i < lines.size() && line == lines[i].text, "piece-fed line %zu differs", i);
    ++i;
  };
  for (size_t at = 0, n = 1; at < bytes.size(); at += n, n = n % 7 + 1)
    pieces.feed(bytes.substr(at, n), take);
  pieces.finish(take);
  FUZZ_CHECK(i == lines.size(), "piece feeding gave %zu lines, expected %zu", i, lines.size());
}

void check_file_readers(const std::string& path, const std::vector<Line>& lines,
                        const std::vector<std::string>& patterns) {
  std::vector<Value> expected;
  for (const Line& l : lines)
    if (auto v = parse_json(l.text)) expected.push_back(std::move(*v));
  auto read = jsonl_read(path);
  FUZZ_CHECK(read && *read == expected, "jsonl_read differs from parsing the lines");

  std::vector<Value> matching;
  for (const Line& l : lines) {
    bool hit = std::any_of(patterns.begin(), patterns.end(),
                           [&](const std::string& p) { return l.text.find(p) != l.text.npos; });
    if (!hit) continue;
    if (auto v = parse_json(l.text)) matching.push_back(std::move(*v));
  }
  auto scanned = scan_lines_matching(path, patterns);
  FUZZ_CHECK(scanned && *scanned == matching, "scan_lines_matching differs");
}

bool same_entry(const std::optional<TokenIndexEntry>& a, const std::optional<TokenIndexEntry>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return a->token_count == b->token_count && a->sources == b->sources &&
         a->tokenizer == b->tokenizer && a->revoked == b->revoked &&
         a->line_hash == b->line_hash && a->file == b->file;
}

bool same_document(const std::optional<DocumentRecord>& a, const std::optional<DocumentRecord>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->line_hash == b->line_hash && a->file == b->file && a->sources == b->sources);
}

bool same_section(const std::optional<Section>& a, const std::optional<Section>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->section_hash == b->section_hash && a->path == b->path &&
                a->authors == b->authors && a->contributors == b->contributors &&
                a->license == b->license && a->year == b->year);
}

// Each record reader against the generic parse, and written records read
// back equal.
void check_record_readers(std::string_view line, const Result<Value>& parsed) {
  auto document = parsed ? document_from_json(*parsed) : std::nullopt;
  FUZZ_CHECK(same_document(parse_document_line(line), document),
             "parse_document_line differs on %s", fuzz::printable(line).c_str());
  if (document) {
    std::string written;
    append_document_line(written, document->line_hash, document->file, document->sources);
    written.pop_back();  // the line feed
    FUZZ_CHECK(same_document(parse_document_line(written), document), "document round trip");
    FUZZ_CHECK(same_document(document_from_json(document_to_json(*document)), document),
               "document value round trip");
  }

  auto entry = parsed ? token_entry_from_json(*parsed) : std::nullopt;
  FUZZ_CHECK(same_entry(parse_token_entry_line(line), entry), "parse_token_entry_line differs on %s",
             fuzz::printable(line).c_str());
  if (entry) {
    std::string written;
    append_token_entry_line(written, *entry);
    FUZZ_CHECK(same_entry(parse_token_entry_line(written), entry), "entry line round trip");
    FUZZ_CHECK(same_entry(parse_token_entry_line(to_canonical(token_entry_to_json(*entry))), entry),
               "merged entry round trip");
  }

  auto author = parsed ? author_from_json(*parsed) : std::nullopt;
  auto author_line = author_from_line(line);
  FUZZ_CHECK(author.has_value() == author_line.has_value(), "author_from_line differs");
  if (author) {
    FUZZ_CHECK(author_line->id == author->id && author_line->name == author->name &&
                   author_line->email == author->email && author_line->revoked == author->revoked,
               "author_from_line fields differ");
    auto back = author_from_line(author_to_line(*author));
    FUZZ_CHECK(back && back->id == author->id && back->name == author->name &&
                   back->email == author->email && back->revoked == author->revoked,
               "author round trip");
  }

  auto section = parsed ? section_from_json(*parsed) : std::nullopt;
  FUZZ_CHECK(same_section(parse_section_line(line), section), "parse_section_line differs on %s",
             fuzz::printable(line).c_str());
  if (section) {
    auto reparsed = parse_json(section_to_line(*section));
    FUZZ_CHECK(reparsed, "section line does not parse");
    FUZZ_CHECK(same_section(section_from_json(*reparsed), section), "section round trip");
    FUZZ_CHECK(same_section(parse_section_line(section_to_line(*section)), section),
               "section line round trip");
  }
}

void collect_strings(const Value& v, std::vector<std::string>& out) {
  if (const std::string* s = v.as_string()) {
    out.push_back(*s);
  } else if (const Array* items = v.as_array()) {
    for (const Value& item : *items) collect_strings(item, out);
  } else if (const Object* object = v.as_object()) {
    for (const auto& [key, item] : *object) {
      out.push_back(key);
      collect_strings(item, out);
    }
  }
}

bool holds_any(const Value& v, const std::set<std::string>& targets) {
  std::vector<std::string> strings;
  collect_strings(v, strings);
  return std::any_of(strings.begin(), strings.end(),
                     [&](const std::string& s) { return targets.contains(s); });
}

// for_each_line_holding passes on a subsequence of the lines that contains
// every line holding a member as a string.
void check_line_filter(std::string_view bytes, const std::vector<Line>& lines,
                       const std::vector<Result<Value>>& parsed, const std::set<std::string>& targets) {
  StringSet set(std::vector<std::string>(targets.begin(), targets.end()));
  std::vector<std::string_view> passed;
  for_each_line_holding(bytes, set, [&](std::string_view line) { passed.push_back(line); });
  size_t p = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    bool is_passed = p < passed.size() && passed[p].data() == lines[i].text.data();
    if (is_passed) {
      FUZZ_CHECK(passed[p] == lines[i].text, "filtered line %zu has other bounds", i);
      ++p;
    } else if (parsed[i]) {
      FUZZ_CHECK(!holds_any(*parsed[i], targets), "line filter skipped line %zu holding a target: %s",
                 i, fuzz::printable(lines[i].text).c_str());
    }
  }
  FUZZ_CHECK(p == passed.size(), "line filter passed on something that is not a line");
}

// A line without escapes that holds a target of two bytes or more as a
// string is a candidate of the FastMatcher.
void check_fast_matcher(const std::vector<Line>& lines, const std::vector<Result<Value>>& parsed,
                        const std::set<std::string>& targets, const FastMatcher& matcher) {
  std::set<std::string> findable;
  for (const auto& t : targets)
    if (t.size() >= 2) findable.insert(t);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!parsed[i] || lines[i].text.find('\\') != std::string_view::npos) continue;
    if (holds_any(*parsed[i], findable))
      FUZZ_CHECK(matcher.is_candidate(lines[i].text), "FastMatcher missed line %zu: %s", i,
                 fuzz::printable(lines[i].text).c_str());
  }
}

// The fast source search over a merged file against the lines it must
// find, and the fast revocation against the full one.
void check_token_sources(const std::string& kx_dir, std::string_view bytes,
                         const std::vector<Line>& lines, const std::set<std::string>& targets,
                         const FastMatcher& matcher) {
  const std::string tokenizer = "t";
  const std::string merged = token_index::merged_dir(kx_dir, tokenizer);
  FUZZ_CHECK(create_dirs(merged), "cannot create %s", merged.c_str());
  const std::string file = path_join(merged, "1");
  fuzz::write_file(file, bytes);

  std::vector<TokenIndexEntry> expected;
  for (const Line& l : lines) {
    if (!matcher.is_candidate(l.text)) continue;
    auto entry = parse_token_entry_line(l.text);
    if (entry && entry_has_target(*entry, targets)) expected.push_back(std::move(*entry));
  }
  auto found = token_index::find_entries_by_sources_fast(kx_dir, tokenizer, targets);
  FUZZ_CHECK(found && found->size() == expected.size(), "fast source search found %zu, expected %zu",
             found ? found->size() : size_t{0}, expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    FUZZ_CHECK(same_entry((*found)[i], expected[i]), "fast source search entry %zu differs", i);

  // Without escapes in the file both revocations flip the same entries.
  if (bytes.find('\\') != std::string_view::npos) return;
  std::set<std::string> findable;
  for (const auto& t : targets)
    if (t.size() >= 2) findable.insert(t);
  auto fast = token_index::revoke_by_sources_fast(kx_dir, tokenizer, findable);
  FUZZ_CHECK(fast, "fast revocation failed: %s", fast ? "" : fast.error().outermost().c_str());
  auto after_fast = token_index::read_merged(kx_dir, tokenizer);
  fuzz::write_file(file, bytes);
  auto full = token_index::revoke_by_sources(kx_dir, tokenizer, findable);
  FUZZ_CHECK(full, "full revocation failed");
  auto after_full = token_index::read_merged(kx_dir, tokenizer);
  FUZZ_CHECK(*fast == *full, "fast revocation flipped %llu, full %llu",
             static_cast<unsigned long long>(*fast), static_cast<unsigned long long>(*full));
  FUZZ_CHECK(after_fast && after_full && after_fast->size() == after_full->size(),
             "revocations leave different entry counts");
  for (size_t i = 0; i < after_fast->size(); ++i)
    FUZZ_CHECK(same_entry((*after_fast)[i], (*after_full)[i]), "revoked entry %zu differs", i);
}

// The author query's line pre-filter never drops a matching record.
void check_author_query(const std::string& kx_dir, std::string_view bytes,
                        const std::vector<Line>& lines, const std::string& name, bool by_email) {
  const std::string layer = path_join(store_dir(kx_dir), "authors");
  FUZZ_CHECK(create_dirs(layer), "cannot create the authors layer");
  fuzz::write_file(path_join(layer, "00"), bytes);
  std::vector<Author> expected;
  for (const Line& l : lines) {
    auto a = author_from_line(l.text);
    if (a && (by_email ? a->email : a->name) == name) expected.push_back(std::move(*a));
  }
  auto found = by_email ? authors::query(kx_dir, std::nullopt, name)
                        : authors::query(kx_dir, name, std::nullopt);
  FUZZ_CHECK(found && found->size() == expected.size(), "author query found %zu, expected %zu",
             found ? found->size() : size_t{0}, expected.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t flags = in.byte();
  const std::string_view bytes = in.rest();
  const std::string& kx_dir = fuzz::scratch_project();

  const std::vector<Line> lines = reference_lines(bytes);
  check_splitters(bytes, lines);

  std::vector<Result<Value>> parsed;
  std::vector<std::string> strings;
  for (const Line& l : lines) {
    parsed.push_back(parse_json(l.text));
    check_record_readers(l.text, parsed.back());
    if (parsed.back()) collect_strings(*parsed.back(), strings);
  }

  // Look for some of the strings the file holds (chosen by the flag bits),
  // and for a raw piece of it, which need not be a string of any line.
  std::set<std::string> targets;
  for (size_t i = 0; i < strings.size(); ++i)
    if ((flags >> (i % 7)) & 1) targets.insert(strings[i]);
  if (flags & 0x80) targets.insert(std::string(bytes.substr(bytes.size() / 2, 6)));

  std::vector<std::string> patterns;
  for (const auto& t : targets)
    if (!t.empty()) patterns.push_back(t);
  const std::string path = path_join(store_dir(kx_dir), "data.jsonl");
  fuzz::write_file(path, bytes);
  check_file_readers(path, lines, patterns);

  check_line_filter(bytes, lines, parsed, targets);
  const FastMatcher matcher = FastMatcher::for_targets(targets);
  check_fast_matcher(lines, parsed, targets, matcher);
  check_token_sources(kx_dir, bytes, lines, targets, matcher);
  if (!strings.empty()) check_author_query(kx_dir, bytes, lines, strings[flags % strings.size()], flags & 1);
  return 0;
}
