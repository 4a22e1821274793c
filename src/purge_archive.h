// Purge archives: the lines a purge removed, kept in the store so that the
// newest purge can be undone by purge_reverse().
//
// File: <kx_dir>/.kx/archive/purge.<stamp>, the stamp being the UTC time the
// purge began as YYYYMMDDTHHMMSS.  Every purge gets a file of its own: a
// later purge of the same second takes purge.<stamp>.<n> where <n> is a
// count written as one letter giving its number of digits ('a' for one
// digit, 'b' for two, ...) followed by the digits, so that byte order of the
// names is the order of the purges at any count and the newest archive is
// always the greatest name.  The records are written to a temporary file
// that gets its archive name only once complete (a hard link, which never
// replaces an existing name), so concurrent purges never share a file and an
// interrupted purge leaves no partial archive for purge_reverse().
//
// Record: one line per purged line, {"archived_at":"<stamp>","line":<value>}
// where <value> is the line parsed as JSON (canonical form) or null.  The
// command's purges keep an undo record of each of their archives in the
// subdirectory archive/exact (purge_exact.h); its name does not begin with
// "purge.", so that nothing takes it for an archive.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "fs.h"

namespace kestrix {

// <kx_dir>/.kx/archive, where purge archives live.
std::string purge_archive_dir(const std::string& kx_dir);

// "YYYYMMDDTHHMMSS" in UTC for seconds since the epoch (negative counts as 0).
std::string purge_stamp(int64_t seconds);
// The stamp of the current time.
std::string current_purge_stamp();

// Appends the archive record of one line whose canonical JSON text is
// `canonical_value` ("null" for a line that is not JSON).
void append_archive_record(std::string& out, std::string_view stamp,
                           std::string_view canonical_value);

// An archive file being written by one purge.  Not thread-safe.
class PurgeArchive {
 public:
  // Creates the archive directory when missing and a new archive file for
  // `stamp` under a name no other archive has.
  static Result<PurgeArchive> create(const std::string& kx_dir, const std::string& stamp);
  PurgeArchive(PurgeArchive&&) noexcept = default;
  PurgeArchive& operator=(PurgeArchive&&) noexcept = default;

  const std::string& path() const { return path_; }
  // Appends already formatted records.
  Status write(std::string_view records);
  // Closes the file and gives it its archive name; every record has then
  // reached it and path() names it.
  Status close();
  // Logs "purge_archive" with `lines` as the count.
  Status log(uint64_t lines) const;
  // Removes the file again (and the archive directory when this archive
  // created it and it is empty): used when the purge fails after archiving,
  // since the lines are still in the data file.
  void discard();

 private:
  PurgeArchive() = default;
  std::string kx_dir_;
  std::string stamp_;
  std::string temp_path_;  // the records until close() names the archive
  std::string path_;
  std::string created_dir_;  // the archive directory, when this call created it
  FileWriter writer_;
};

struct ArchivedLines {
  std::string path;
  uint64_t lines = 0;
};

// Archives `lines` (texts without terminators) into a new archive and logs
// it.  nullopt when `lines` is empty: nothing is created or logged.
Result<std::optional<ArchivedLines>> archive_purged_lines(const std::string& kx_dir,
                                                          const std::vector<std::string>& lines);

// Restores the archive at `archive_path` as purge_reverse() restores the
// newest one: its lines appended to `data_file` (those the file does not
// hold already), the archive removed, "purge_reverse" logged.  Returns the
// number of lines restored.
Result<uint64_t> reverse_archive(const std::string& kx_dir, const std::string& archive_path,
                                 const std::string& data_file,
                                 std::optional<int> level = std::nullopt);

}  // namespace kestrix
