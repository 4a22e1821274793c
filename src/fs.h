// The thin file-system layer: every open, read, write, rename, stat,
// directory listing and mapping of the library goes through these helpers,
// which own the descriptors, mappings and large buffers they hand out.  They
// retry EINTR, complete partial writes, create files with 0666 and
// directories with 0777 (before the umask), and give errors as Error values
// carrying the system's text and naming the file they concern (about()).  AtomicFile is the one way store files and data
// files are rewritten.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "error.h"

namespace kestrix {

// Joins path parts: a separator is inserted only where `base` does not end in
// one, and an absolute `part` replaces `base` entirely.
std::string path_join(std::string_view base, std::string_view part);
std::string_view path_basename(std::string_view path);
std::string_view path_dirname(std::string_view path);
// The absolute path of a file with symbolic links, "." and ".." resolved
// (realpath(3)), so that two names of one file compare equal.  A file that
// does not exist gets its directory resolved, or failing that the path made
// absolute against the working directory.
std::string resolved_path(const std::string& path);

// Whether `path` lies below a store directory: it has a component ".kx"
// with more after it.  Writes there never leave the store directory through
// a symbolic link or "..": opens for writing, directory creations, renames,
// links, removals, time updates and AtomicFile fail with ELOOP when the file
// they would reach lies outside it (the store directory itself may be a
// link).
bool in_store(std::string_view path);

// open(2) with O_CLOEXEC added, retried when a signal interrupts it.  Below
// a store directory, an open for writing never leaves it (see in_store).
int open_retry(const char* path, int flags, mode_t mode = 0666);

// Reads up to `len` bytes at `offset` of `fd` into `out`, completing short
// reads and retrying EINTR; fewer only where the file ends.
Result<size_t> read_at(int fd, char* out, size_t len, uint64_t offset);

// Owns a file descriptor and closes it.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);
  // Closes the descriptor and reports an error of close(2) (EINTR aside:
  // the descriptor is gone then all the same).
  Status close();

 private:
  int fd_;
};

// Writes all of `data` to `fd`, completing partial writes and retrying EINTR.
// A write that accepts zero bytes fails with "failed to write whole buffer".
Status write_all(int fd, std::string_view data);

// write_all for `parts` laid end to end, in requests of many parts each.
Status write_all(int fd, std::vector<std::string_view> parts);

// write_all for a file opened in append mode from `path`, for data made of
// whole lines.  When the file ends in a partial line (left by a writer that
// was killed or ran out of space), a line feed is written first, so the torn
// line cannot swallow the first line of `data`.  When the write fails after
// part of `data` reached the file (a full disk, a file size limit), that part
// is cut off again while it is still the file's end.
Status append_whole(int fd, const std::string& path, std::string_view data);

// The most one append request of many lines holds (a longer line goes
// alone): large enough for the file system to take it at full speed, small
// enough that other appenders are not held up for long.
inline constexpr size_t kMaxAppendRequest = size_t{1} << 20;

// append_whole for `data` made of many whole lines, in requests of whole
// lines of at most kMaxAppendRequest bytes, so that every line reaches the
// file whole between the lines of other appenders.
Status append_whole_lines(int fd, const std::string& path, std::string_view data);

// Opens `path` for appending, creating it with 0666; no descriptor (-1) with
// errno set on failure.  The descriptor suits append_whole.
UniqueFd open_for_append(const std::string& path);

// Opens `path` for appending (creating it with 0666), writes `data` in one
// request (append_whole) and closes it.  The parent directory is not created.
Status append_to_file(const std::string& path, std::string_view data);

// Creates `path` and every missing parent; existing directories are fine.
Status create_dirs(const std::string& path);

bool is_dir(const std::string& path);           // follows symbolic links
bool is_regular_file(const std::string& path);  // follows symbolic links
// Size, modification time, type and identity of a file.
struct FileInfo {
  uint64_t size;
  int64_t mtime_ns;
  bool regular;
  bool directory;
  uint64_t device = 0;
  uint64_t inode = 0;
};
// Follows symbolic links; nullopt on failure.
std::optional<FileInfo> stat_path(const std::string& path);
// The file open as `fd`.
Result<FileInfo> stat_fd(int fd);

struct DirEntry {
  std::string name;  // raw bytes of the name
  std::string path;  // directory joined with name
  unsigned char type = 0;  // d_type of the listing (DT_UNKNOWN when it did not say)
  // True when the entry is a regular file, symbolic links followed: from the
  // listing where it tells, else by stat.
  bool is_regular_file() const;
};
// Lists a directory in the order the system yields (unsorted), without "."
// and "..".
Result<std::vector<DirEntry>> list_dir(const std::string& dir);

// Decodes bytes as UTF-8, replacing invalid sequences with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

Status remove_file(const std::string& path);
Status rename_path(const std::string& from, const std::string& to);
// Renames `from` to `to` unless `to` exists: then it fails with EEXIST
// (EINVAL or ENOSYS where the file system or kernel cannot tell).
Status rename_no_replace(const std::string& from, const std::string& to);
// Gives the file `from` the second name `to`; fails with EEXIST when `to`
// exists (never replaces it).
Status link_path(const std::string& from, const std::string& to);
Status remove_tree(const std::string& path);  // recursive, no symlink following
// Removes an empty directory.
Status remove_dir(const std::string& path);
// Sets the modification time of `path` to `seconds` after the epoch and
// leaves its access time.
Status set_mtime(const std::string& path, int64_t seconds);

// The file's whole content, read with read(2) (never a mapping, so a file
// truncated meanwhile cannot fault the process).  nullopt when the file
// cannot be examined (missing) or is empty; an error when it exists but
// cannot be opened or read.
Result<std::optional<std::string>> read_whole_file(const std::string& path);

// Passes the file's content to `sink` in pieces of up to 1 MiB, in order.
// False when the file does not exist; an error when it cannot be read (a
// directory, no permission) or when `sink` fails.
Result<bool> stream_file(const std::string& path,
                         const std::function<Status(std::string_view)>& sink);

// Once a large file has been replaced, its cached pages and its blocks are
// freed when its last descriptor closes, which takes a while: a thread of
// its own closes `fd` while the caller goes on (the caller's thread does it
// when no thread can be started).
void close_in_background(UniqueFd fd);

// Buffered sequential writer on a file descriptor it owns.  Its errors name
// the file it was opened with, or the one given to report_as().
class FileWriter {
 public:
  FileWriter() = default;
  ~FileWriter();
  FileWriter(FileWriter&& other) noexcept = default;
  FileWriter& operator=(FileWriter&& other) noexcept = default;
  // Opens for writing, creating with 0666 and truncating.
  static Result<FileWriter> create(const std::string& path);
  // Creates a temporary file that must not exist yet and locks it for as
  // long as the writer keeps it open (see sweep_stale_temps).
  static Result<FileWriter> create_temp(const std::string& path);
  // Opens for appending, creating with 0666 unless `create` is false.
  static Result<FileWriter> append(const std::string& path, bool create = true);
  Status write(std::string_view data);
  // Appends `len` bytes of the file open as `from`, starting at `offset`,
  // copied inside the kernel where it can (the bytes never pass through
  // this process); fails when the file holds fewer.
  Status copy_from(int from, uint64_t offset, uint64_t len);
  Status flush();
  // Flushes and makes the content durable (fsync).
  Status sync();
  // Flushes and closes; errors of close are reported.
  Status close();
  int fd() const { return fd_.get(); }
  // Names `path` in the errors of later calls (a temporary file's errors
  // concern the file it is to replace).
  void report_as(std::string path) { path_ = std::move(path); }

 private:
  FileWriter(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  Status named(Status st) const;
  Status copy_range(int from, uint64_t offset, uint64_t len);
  UniqueFd fd_;
  std::string path_;
  std::string buffer_;
};

// Rewrites a file atomically: the new content goes to a temporary file in
// `tmp_dir` (which must be on the target's file system; by default the
// target's directory), named ".kxtmp.<pid>.<n>.<target name>" so that no
// reader of the store takes it for a record file, and commit() renames it
// over the target, after making the new content durable (and the directory
// after the rename).  begin() first removes the temporary files that killed
// rewrites left in the directory.  Until commit() succeeds the target is untouched; the
// destructor removes an uncommitted temporary file.  An existing target's
// permission bits are carried over.  A target that is a symbolic link is
// followed: the file it leads to is replaced and the link stays (below a
// store directory, only when that file lies inside it).
class AtomicFile {
 public:
  static Result<AtomicFile> begin(const std::string& path, const std::string& tmp_dir = "");
  AtomicFile(AtomicFile&&) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  ~AtomicFile();
  Status write(std::string_view data) { return writer_.write(data); }
  Status copy_from(int from, uint64_t offset, uint64_t len) {
    return writer_.copy_from(from, offset, len);
  }
  Status commit();
  const std::string& tmp_path() const { return tmp_path_; }

 private:
  AtomicFile() = default;
  std::string target_;
  std::string tmp_path_;
  FileWriter writer_;
  bool done_ = false;
};

// Replaces `target` with `content` through an AtomicFile.
Status atomic_write(const std::string& target, std::string_view content,
                    const std::string& tmp_dir = "");

// True when `name` may be a temporary file of AtomicFile.
bool is_temp_name(std::string_view name);

// Removes the temporary files of AtomicFile (and of purge archives) in `dir`
// that a process killed during a rewrite left behind: those whose owner is
// provably gone (no process here has the pid in the name, and nobody holds
// the lock the owner keeps until its rename).  With `for_target` set, only
// those of rewrites of that file name.  Failures are ignored; returns how
// many were removed.
uint64_t sweep_stale_temps(const std::string& dir, std::string_view for_target = {});
// The temporary files of `dir` that sweep_stale_temps() would remove, left
// in place.
std::vector<std::string> abandoned_temps(const std::string& dir);

// Flushes a directory's entries to disk (after a rename into it); best
// effort.
void sync_dir(const std::string& dir);

// Reads byte ranges of one file with pread(2), for readers that need a few
// lines of a large file (never a mapping, for the same reason as
// read_whole_file).  size() is the file's length when it was opened; a range
// that the file no longer holds (it shrank meanwhile) reads short.
class RangeReader {
 public:
  // nullopt when the file cannot be examined (missing) or is empty; an error
  // when it exists but cannot be opened (a directory, no permission).
  static Result<std::optional<RangeReader>> open(const std::string& path);
  RangeReader(RangeReader&& other) noexcept = default;
  RangeReader& operator=(RangeReader&& other) noexcept = default;
  uint64_t size() const { return size_; }
  // Replaces `out` with the bytes [offset, offset + n), or fewer when the
  // file ends before.
  Status read_at(uint64_t offset, size_t n, std::string& out) const;

 private:
  RangeReader(UniqueFd fd, uint64_t size, std::string path)
      : fd_(std::move(fd)), size_(size), path_(std::move(path)) {}
  UniqueFd fd_;
  uint64_t size_ = 0;
  std::string path_;
};

// Memory mapped with mmap(2), unmapped on destruction: a whole file, shared
// with the file (read-only, or read-write with writes reaching the file),
// or anonymous memory.  A file's mapping outlives the descriptor it was
// made from.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept;
  ~Mapping();
  static Result<Mapping> map(int fd, size_t size, bool writable);
  // Private zero-filled memory, committed as it is first written.
  static Result<Mapping> anonymous(size_t size);
  // Flushes written pages to the file and waits for them (msync).
  Status sync();
  char* data() const { return data_; }
  size_t size() const { return size_; }
  std::string_view bytes() const { return {data_, size_}; }

 private:
  static Result<Mapping> make(size_t size, int prot, int flags, int fd);
  char* data_ = nullptr;
  size_t size_ = 0;
};

// Anonymous memory in whole huge pages (2 MiB), advised to be backed by
// huge pages where the system allows: first touching a large buffer page by
// page, and walking the page tables of lookups spread over it, then cost
// far less.  Pages are committed as they are first written; fresh memory
// reads as zeros.  Aligned to at least 4096 bytes, as direct I/O wants.
class HugeBuffer {
 public:
  // Grows the buffer to at least `n` bytes, keeping its first `keep` bytes;
  // false when the memory cannot be had (the buffer is then unchanged).
  bool reserve(size_t n, size_t keep = 0);
  char* data() const { return memory_.data(); }
  size_t capacity() const { return memory_.size(); }

 private:
  Mapping memory_;
};

// Writes a file sequentially, from the start, with direct I/O where the
// file system takes it: the device then takes the bytes from a buffer of
// ours, where buffered writes would first copy them into newly allocated
// cache pages, a copy that costs as much CPU as producing the bytes may.
// Direct I/O wants aligned whole blocks, so the bytes are gathered in an
// aligned staging buffer and written a whole number of blocks at a time; the
// last block is padded with zeros, which finish() cuts off again.  A file
// system that refuses direct I/O, at open or at a write, gets buffered
// writes.
class DirectWriter {
 public:
  // Opens the existing file `path` for writing.  With `direct` false, or
  // when the file system refuses it, writes are buffered.  `staging_size`
  // is rounded up to whole blocks.  Errors name `report_as` (the file a
  // temporary file is to replace), or else `path`.
  Status open(const std::string& path, bool direct, size_t staging_size,
              const std::string& report_as = "");
  // Allocates `size` bytes to the file up front where the file system can,
  // so that writing it leaves no delayed allocation to flush later; best
  // effort.
  void preallocate(uint64_t size);
  Status append(std::string_view bytes);
  // Writes the whole blocks gathered so far; the rest stays for later.
  Status flush_blocks() { return flush(fill_ / kAlign * kAlign); }
  // Writes everything and cuts the file to the bytes appended.
  Status finish();
  Status close() { return fd_.close(); }
  // Bytes appended so far.
  uint64_t size() const { return flushed_ + fill_; }

  static constexpr size_t kAlign = 4096;

 private:
  Status flush(size_t len);

  UniqueFd fd_;
  std::string path_;  // named by errors
  bool direct_ = false;
  HugeBuffer staging_;
  size_t staging_size_ = 0;  // a whole number of blocks
  size_t fill_ = 0;
  uint64_t flushed_ = 0;  // file offset of the staging buffer's first byte
};

// Text of a path in quoted form: in double quotes, with backslash, double
// quote, tab, carriage return and line feed escaped, other control characters
// as \u{..}, and bytes that are not valid UTF-8 as \xNN.
std::string quote_path(std::string_view path);

// The path inside a quoted path as quote_path() writes it, with the rest of
// the text after it ignored; nullopt when `text` does not begin with one.
std::optional<std::string> unquote_path(std::string_view text);

}  // namespace kestrix
