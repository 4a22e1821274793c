// Purge archives and their reversal; see purge_archive.h for the file format
// and the naming rule.
#include "purge_archive.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unordered_map>

#include "hash.h"
#include "json.h"
#include "lib.h"
#include "mmap_lines.h"
#include "oplog.h"
#include "purge.h"
#include "purge_rewrite.h"
#include "storage.h"

namespace kestrix {
namespace {

constexpr std::string_view kPrefix = "purge.";
// Naming races with other purges of the same second; give up after this
// many tries.
constexpr int kNameAttempts = 64;

// The suffix of the n-th archive of a second (n >= 1): a letter for the
// number of digits, then the digits.
std::string count_suffix(uint64_t n) {
  std::string digits = std::to_string(n);
  return std::string(1, static_cast<char>('a' + digits.size() - 1)) + digits;
}

// The count of a suffix written by count_suffix, or nullopt.
std::optional<uint64_t> parse_count_suffix(std::string_view s) {
  if (s.size() < 2 || s[0] < 'a' || static_cast<size_t>(s[0] - 'a') + 2 != s.size())
    return std::nullopt;
  uint64_t n = 0;
  for (char c : s.substr(1)) {
    if (c < '0' || c > '9') return std::nullopt;
    if (n > (UINT64_MAX - 9) / 10) return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n;
}

// The file name the next archive of `stamp` should take, given the names in
// the archive directory: the plain name when no archive of that second
// exists, else the count after the greatest one present.
Result<std::string> next_archive_name(const std::string& dir, const std::string& stamp) {
  const std::string plain = std::string(kPrefix) + stamp;
  const std::string numbered = plain + ".";
  KX_ASSIGN_OR_RETURN(std::vector<DirEntry> entries, list_dir(dir));
  std::optional<uint64_t> greatest;
  for (const DirEntry& entry : entries) {
    std::optional<uint64_t> n;
    if (entry.name == plain) n = 0;
    else if (entry.name.starts_with(numbered))
      n = parse_count_suffix(std::string_view(entry.name).substr(numbered.size()));
    if (n && (!greatest || *n > *greatest)) greatest = n;
  }
  if (!greatest) return plain;
  if (*greatest == UINT64_MAX) return fail_msg("too many purge archives for " + plain);
  return numbered + count_suffix(*greatest + 1);
}

void print_no_archive() {
  std::fputs("No purge archive found\n", stdout);
  std::fflush(stdout);
}

// The lines of an archive as canonical texts, in archive order.
std::vector<std::string> archived_lines(std::string_view archive) {
  std::vector<std::string> lines;
  for_each_json_line(archive, [&](Value record) {
    if (const Value* value = record.get("line")) lines.push_back(to_canonical(*value));
  });
  return lines;
}

// Appends the archived lines to the data file by writing its old content and
// the lines to a temporary file that then replaces it: a crash or a full
// disk leaves the file wholly as it was or wholly restored, never with a
// partial line.  A missing data file is created; a last line without its
// line feed gets one, so that the first restored line stays a line of its
// own.
//
// An archived line that the data file already holds (by line hash, counting
// repeats) is not appended again.  A completed purge leaves no line with an
// archived hash in the file, so normally every line is restored; but a purge
// killed after publishing its archive and before replacing the data file,
// or a reversal killed after replacing the data file and before removing
// the archive, leaves an archive whose lines are all still in the file:
// restoring it again would double them.  The data file is not touched when
// nothing is left to restore.  Returns the number of lines restored.
Result<uint64_t> restore_lines(const std::string& data_file, std::string_view archive,
                               std::optional<int> level) {
  const std::vector<std::string> lines = archived_lines(archive);
  if (lines.empty()) return 0;
  std::unordered_map<std::string, uint64_t> unmatched;  // line hash -> archived copies
  std::vector<std::string> hashes;
  hashes.reserve(lines.size());
  for (const std::string& line : lines) {
    hashes.push_back(sha256_hex(line));
    ++unmatched[hashes.back()];
  }
  std::unordered_map<std::string, uint64_t> held;  // archived copies the file holds
  std::string hash;
  PieceLineSplitter data_lines;
  auto take = [&](std::string_view line) {
    if (!hash_json_line(line, hash)) return;
    auto it = unmatched.find(hash);
    if (it == unmatched.end() || it->second == 0) return;
    --it->second;
    ++held[hash];
  };

  KX_ASSIGN_OR_RETURN(DataFileEdit out, DataFileEdit::begin(data_file, level));
  char last = '\n';
  KX_TRY(out.read([&](std::string_view piece) -> Status {
    last = piece.back();
    data_lines.feed(piece, take);
    return out.write(piece);
  }));
  data_lines.finish(take);
  if (last != '\n') KX_TRY(out.write("\n"));

  uint64_t restored = 0;
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    auto it = held.find(hashes[i]);
    if (it != held.end() && it->second > 0) {
      --it->second;
      continue;
    }
    text.assign(lines[i]);
    text.push_back('\n');
    KX_TRY(out.write(text));
    ++restored;
  }
  if (restored > 0) KX_TRY(out.commit());
  return restored;
}

}  // namespace

std::string purge_archive_dir(const std::string& kx_dir) { return store_path(kx_dir, "archive"); }

std::string purge_stamp(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds < 0 ? 0 : seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string current_purge_stamp() { return purge_stamp(static_cast<int64_t>(std::time(nullptr))); }

void append_archive_record(std::string& out, std::string_view stamp,
                           std::string_view canonical_value) {
  out.append("{\"archived_at\":");
  append_json_string(stamp, out);
  out.append(",\"line\":");
  out.append(canonical_value);
  out.append("}\n");
}

Result<PurgeArchive> PurgeArchive::create(const std::string& kx_dir, const std::string& stamp) {
  static std::atomic<uint64_t> counter{0};
  PurgeArchive archive;
  archive.kx_dir_ = kx_dir;
  archive.stamp_ = stamp;
  const std::string dir = purge_archive_dir(kx_dir);
  if (!is_dir(dir)) {
    KX_TRY(create_dirs(dir));
    archive.created_dir_ = dir;
  }
  // Archives left half-written by purges that were killed part-way.
  sweep_stale_temps(dir);
  for (int attempt = 0;; ++attempt) {
    archive.temp_path_ = path_join(dir, ".kxtmp." + std::to_string(::getpid()) + "." +
                                            std::to_string(counter.fetch_add(1)) + ".purge");
    auto writer = FileWriter::create_temp(archive.temp_path_);
    if (writer) {
      archive.writer_ = std::move(*writer);
      return archive;
    }
    if (writer.error().os_errno() != EEXIST || attempt == 100) {
      archive.temp_path_.clear();
      archive.discard();
      return fail(std::move(writer).error());
    }
  }
}

Status PurgeArchive::write(std::string_view records) { return writer_.write(records); }

Status PurgeArchive::close() {
  // The records reach the disk before the archive gets its name, and the
  // name before the purge replaces the data file.
  KX_TRY(writer_.sync());
  const std::string dir = purge_archive_dir(kx_dir_);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    KX_ASSIGN_OR_RETURN(std::string name, next_archive_name(dir, stamp_));
    const std::string path = path_join(dir, name);
    Status linked = link_path(temp_path_, path);
    if (!linked) {
      if (linked.error().os_errno() == EEXIST) continue;  // another purge took it
      return linked;
    }
    path_ = path;
    (void)remove_file(temp_path_);
    temp_path_.clear();
    KX_TRY(writer_.close());
    sync_dir(dir);
    return {};
  }
  return fail_msg("could not create a purge archive in " + quote_path(dir));
}

Status PurgeArchive::log(uint64_t lines) const {
  return oplog::append(kx_dir_, "purge_archive",
                       "archived " + std::to_string(lines) + " lines to " + quote_path(path_));
}

void PurgeArchive::discard() {
  if (!temp_path_.empty()) (void)remove_file(temp_path_);
  (void)writer_.close();
  if (!path_.empty()) (void)remove_file(path_);
  if (!created_dir_.empty()) (void)remove_dir(created_dir_);
  temp_path_.clear();
  path_.clear();
  created_dir_.clear();
}

Result<std::optional<ArchivedLines>> archive_purged_lines(const std::string& kx_dir,
                                                          const std::vector<std::string>& lines) {
  if (lines.empty()) return std::nullopt;
  const std::string stamp = current_purge_stamp();
  KX_ASSIGN_OR_RETURN(PurgeArchive archive, PurgeArchive::create(kx_dir, stamp));
  std::string records;
  for (const std::string& line : lines) {
    auto value = parse_json(line);
    append_archive_record(records, stamp, value ? to_canonical(*value) : "null");
  }
  KX_TRY(archive.write(records));
  KX_TRY(archive.close());
  KX_TRY(archive.log(lines.size()));
  return ArchivedLines{archive.path(), lines.size()};
}

Result<uint64_t> purge_reverse(const std::string& kx_dir, const std::string& data_file) {
  const std::string dir = purge_archive_dir(kx_dir);
  if (!is_dir(dir)) {
    print_no_archive();
    return 0;
  }
  KX_ASSIGN_OR_RETURN(std::vector<DirEntry> entries, list_dir(dir));
  const DirEntry* newest = nullptr;
  std::string newest_name;
  for (const DirEntry& entry : entries) {
    std::string name = utf8_lossy(entry.name);
    if (!name.starts_with(kPrefix)) continue;
    if (newest == nullptr || name > newest_name) {
      newest = &entry;
      newest_name = std::move(name);
    }
  }
  if (newest == nullptr) {
    print_no_archive();
    return 0;
  }
  return reverse_archive(kx_dir, newest->path, data_file);
}

Result<uint64_t> reverse_archive(const std::string& kx_dir, const std::string& archive_path,
                                 const std::string& data_file, std::optional<int> level) {
  // The archive is read whole first, so a read failure changes nothing;
  // records are then parsed one at a time rather than held all at once.
  KX_ASSIGN_OR_RETURN(auto archive, read_file_bytes(archive_path));
  uint64_t restored = 0;
  if (archive) {
    KX_ASSIGN_OR_RETURN(restored, restore_lines(data_file, archive->view(), level));
  }
  KX_TRY(remove_file(archive_path));
  KX_TRY(oplog::append(kx_dir, "purge_reverse",
                       "restored " + std::to_string(restored) + " lines from " +
                           quote_path(archive_path)));
  return restored;
}

}  // namespace kestrix
