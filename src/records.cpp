// The record readers of records.h: the fast path through scan_flat_object()
// and the fall back to the general parser.
#include "records.h"

#include "indexer.h"
#include "json.h"
#include "register.h"
#include "token_index.h"

namespace kestrix {
namespace {

using flat_json::Kind;
using flat_json::Member;

// Takes the members of a flat line that a record reads: one bit per key,
// and "unsure" when a key is repeated or its value has another kind, which
// leaves the line to the general parser.
class MemberPicker {
 public:
  bool take(unsigned bit) {
    if (seen_ & bit) unsure_ = true;
    seen_ |= bit;
    return !unsure_;
  }
  void doubt() { unsure_ = true; }
  bool complete(unsigned all) const { return !unsure_ && seen_ == all; }
  // Every bit of `required` seen, and no bit outside `allowed`.
  bool complete_within(unsigned required, unsigned allowed) const {
    return !unsure_ && (seen_ & required) == required && (seen_ & ~allowed) == 0;
  }

 private:
  unsigned seen_ = 0;
  bool unsure_ = false;
};

template <typename Strings>
void take_strings(std::string_view inner, Strings& out) {
  out.clear();
  flat_json::for_each_string(inner, [&](std::string_view s) { out.emplace_back(s); });
}

// A decimal count as the parser reads it into an unsigned integer: digits
// only (the scanner has refused leading zeros), below 2^64.
bool take_count(std::string_view text, uint64_t& out) {
  if (text.empty()) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

// Entry is TokenIndexEntry or TokenEntryParts.
template <typename Entry>
bool scan_token_entry(std::string_view line, Entry& entry) {
  MemberPicker pick;
  entry.line_hash = {};
  entry.file = {};
  const bool flat = flat_json::scan_flat_object(line, [&](const Member& m) {
    if (m.key == "token_count") {
      if (pick.take(1) && !(m.kind == Kind::kOther && take_count(m.value, entry.token_count)))
        pick.doubt();
    } else if (m.key == "sources") {
      if (pick.take(2) && m.kind == Kind::kStringArray) take_strings(m.value, entry.sources);
      else pick.doubt();
    } else if (m.key == "tokenizer") {
      if (pick.take(4) && m.kind == Kind::kString) entry.tokenizer = m.value;
      else pick.doubt();
    } else if (m.key == "revoked") {
      if (pick.take(8) && (m.value == "true" || m.value == "false")) entry.revoked = m.value == "true";
      else pick.doubt();
    } else if (m.key == "line_hash") {
      // The identity members are optional; a value of another kind is left
      // to the general parser, which reads the entry without identity.
      if (pick.take(16) && m.kind == Kind::kString) entry.line_hash = m.value;
      else pick.doubt();
    } else if (m.key == "file") {
      if (pick.take(32) && m.kind == Kind::kString) entry.file = m.value;
      else pick.doubt();
    }
    // Other members are ignored, as token_entry_from_json ignores them.
  });
  if (!flat || !pick.complete_within(15, 63)) return false;
  // token_entry_from_json takes the identity only when both members are
  // there and non-empty.
  if (entry.line_hash.empty() || entry.file.empty()) {
    entry.line_hash = {};
    entry.file = {};
  }
  return true;
}

bool scan_document(std::string_view line, DocumentParts& parts) {
  MemberPicker pick;
  const bool flat = flat_json::scan_flat_object(line, [&](const Member& m) {
    if (m.key == "line_hash") {
      if (pick.take(1) && m.kind == Kind::kString) parts.line_hash = m.value;
      else pick.doubt();
    } else if (m.key == "file") {
      if (pick.take(2) && m.kind == Kind::kString) parts.file = m.value;
      else pick.doubt();
    } else if (m.key == "sources") {
      if (pick.take(4) && m.kind == Kind::kStringArray) take_strings(m.value, parts.sources);
      else pick.doubt();
    }
    // Other members ("revoked") are ignored, as document_from_json does.
  });
  return flat && pick.complete(7);
}

bool scan_section(std::string_view line, Section& section) {
  MemberPicker pick;
  auto text = [&](const Member& m, unsigned bit, std::string& out) {
    if (pick.take(bit) && m.kind == Kind::kString) out.assign(m.value);
    else pick.doubt();
  };
  auto list = [&](const Member& m, unsigned bit, std::vector<std::string>& out) {
    if (pick.take(bit) && m.kind == Kind::kStringArray) take_strings(m.value, out);
    else pick.doubt();
  };
  const bool flat = flat_json::scan_flat_object(line, [&](const Member& m) {
    if (m.key == "section_hash") text(m, 1, section.section_hash);
    else if (m.key == "path") text(m, 2, section.path);
    else if (m.key == "authors") list(m, 4, section.authors);
    else if (m.key == "contributors") list(m, 8, section.contributors);
    else if (m.key == "license") text(m, 16, section.license);
    else if (m.key == "year") text(m, 32, section.year);
    // Other members are ignored, as section_from_json ignores them.
  });
  return flat && pick.complete(63);
}

// The record of a line: the scanner's when it is sure, the general parser's
// otherwise.
template <typename Record, typename FromJson>
std::optional<Record> read_record(std::string_view line, bool (*scan)(std::string_view, Record&),
                                  FromJson from_json) {
  Record record;
  if (scan(line, record)) return record;
  auto value = parse_json(line);
  if (!value) return std::nullopt;
  return from_json(*value);
}

}  // namespace

std::optional<TokenIndexEntry> parse_token_entry_line(std::string_view line) {
  return read_record(line, scan_token_entry<TokenIndexEntry>, token_entry_from_json);
}

bool parse_token_entry_parts(std::string_view line, TokenEntryParts& parts,
                             TokenIndexEntry& parsed) {
  if (scan_token_entry(line, parts)) return true;
  auto value = parse_json(line);
  std::optional<TokenIndexEntry> entry = value ? token_entry_from_json(*value) : std::nullopt;
  if (!entry) return false;
  parsed = std::move(*entry);
  parts.token_count = parsed.token_count;
  parts.sources.assign(parsed.sources.begin(), parsed.sources.end());
  parts.tokenizer = parsed.tokenizer;
  parts.revoked = parsed.revoked;
  parts.line_hash = parsed.line_hash;
  parts.file = parsed.file;
  return true;
}

std::optional<Section> parse_section_line(std::string_view line) {
  return read_record(line, scan_section, section_from_json);
}

bool parse_document_parts(std::string_view line, DocumentParts& parts, DocumentRecord& parsed) {
  if (scan_document(line, parts)) return true;
  auto value = parse_json(line);
  std::optional<DocumentRecord> record = value ? document_from_json(*value) : std::nullopt;
  if (!record) return false;
  parsed = std::move(*record);
  parts.line_hash = parsed.line_hash;
  parts.file = parsed.file;
  parts.sources.assign(parsed.sources.begin(), parsed.sources.end());
  return true;
}

std::optional<DocumentRecord> parse_document_line(std::string_view line) {
  DocumentParts parts;
  DocumentRecord parsed;
  if (!parse_document_parts(line, parts, parsed)) return std::nullopt;
  return DocumentRecord{std::string(parts.line_hash), std::string(parts.file),
                        {parts.sources.begin(), parts.sources.end()}};
}

std::optional<std::string_view> document_line_hash(std::string_view line) {
  MemberPicker pick;
  std::string_view hash;
  const bool flat = flat_json::scan_flat_object(line, [&](const flat_json::Member& m) {
    if (m.key != "line_hash") return;
    if (pick.take(1) && m.kind == flat_json::Kind::kString) hash = m.value;
    else pick.doubt();
  });
  if (!flat || !pick.complete(1)) return std::nullopt;
  return hash;
}

}  // namespace kestrix
