// Purge archives and their reversal; see purge_archive.h for the file format
// and the naming rule.
#include "purge_archive.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "json.h"
#include "lib.h"
#include "mmap_lines.h"
#include "oplog.h"
#include "purge.h"
#include "storage.h"

namespace kestrix {
namespace {

constexpr std::string_view kPrefix = "purge.";
// Exclusive creation races with other purges; give up after this many tries.
constexpr int kCreateAttempts = 64;

std::string archive_dir(const std::string& kx_dir) { return store_path(kx_dir, "archive"); }

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

// Creates `path` only if it does not exist yet.  False when it exists.
Result<bool> create_exclusive(const std::string& path) {
  int fd;
  do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    return fail_errno();
  }
  ::close(fd);
  return true;
}

void print_no_archive() {
  std::fputs("No purge archive found\n", stdout);
  std::fflush(stdout);
}

}  // namespace

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
  PurgeArchive archive;
  archive.kx_dir_ = kx_dir;
  const std::string dir = archive_dir(kx_dir);
  if (!is_dir(dir)) {
    KX_TRY(create_dirs(dir));
    archive.created_dir_ = dir;
  }
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    auto name = next_archive_name(dir, stamp);
    if (!name) {
      archive.discard();
      return fail(std::move(name).error());
    }
    const std::string path = path_join(dir, *name);
    auto created = create_exclusive(path);
    if (!created) {
      archive.discard();
      return fail(std::move(created).error());
    }
    if (!*created) continue;  // another purge took this name meanwhile
    archive.path_ = path;
    auto writer = FileWriter::append(path, false);
    if (!writer) {
      archive.discard();
      return fail(std::move(writer).error());
    }
    archive.writer_ = std::move(*writer);
    return archive;
  }
  archive.discard();
  return fail_msg("could not create a purge archive in " + quote_path(dir));
}

Status PurgeArchive::write(std::string_view records) { return writer_.write(records); }

Status PurgeArchive::close() { return writer_.close(); }

Status PurgeArchive::log(uint64_t lines) const {
  return oplog::append(kx_dir_, "purge_archive",
                       "archived " + std::to_string(lines) + " lines to " + quote_path(path_));
}

void PurgeArchive::discard() {
  (void)writer_.close();
  if (!path_.empty()) (void)remove_file(path_);
  if (!created_dir_.empty()) (void)::rmdir(created_dir_.c_str());
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
  const std::string dir = archive_dir(kx_dir);
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
  // The archive is read whole first, so a read failure changes nothing;
  // records are then parsed one at a time rather than held all at once.
  KX_ASSIGN_OR_RETURN(auto archive, mmap_file(newest->path));
  // The data file is opened (and created) only when there is a line to put
  // back; each line reaches it whole in one append.
  std::optional<FileWriter> out;
  Status written;
  uint64_t restored = 0;
  std::string line;
  if (archive) {
    for_each_json_line(archive->view(), [&](Value record) {
      const Value* value = record.get("line");
      if (value == nullptr || !written) return;
      if (!out) {
        auto opened = FileWriter::append(data_file);
        if (!opened) {
          written = fail(std::move(opened).error());
          return;
        }
        out.emplace(std::move(*opened));
      }
      line.clear();
      write_canonical(*value, line);
      line.push_back('\n');
      written = out->write(line);
      if (written) ++restored;
    });
  }
  if (written && out) written = out->close();
  KX_TRY(written);
  KX_TRY(remove_file(newest->path));
  KX_TRY(oplog::append(kx_dir, "purge_reverse",
                       "restored " + std::to_string(restored) + " lines from " +
                           quote_path(newest->path)));
  return restored;
}

}  // namespace kestrix
