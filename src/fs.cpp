// File-system helpers: the only place that calls open, write, rename, stat
// and readdir directly.
#include "fs.h"

#include "coding.h"
#include "utf8.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

namespace kestrix {

std::string path_join(std::string_view base, std::string_view part) {
  if (!part.empty() && part.front() == '/') return std::string(part);
  std::string out;
  out.reserve(base.size() + 1 + part.size());
  out.append(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(part);
  return out;
}

std::string_view path_basename(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view path_dirname(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// realpath(3) of `path`, or nullopt.
static std::optional<std::string> real_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

std::string resolved_path(const std::string& path) {
  if (path.empty()) return resolved_path(".");
  if (auto whole = real_path(path)) return *whole;
  const std::string_view name = path_basename(path);
  if (auto dir = real_path(std::string(path_dirname(path)))) return path_join(*dir, name);
  if (!path.empty() && path.front() == '/') return path;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return path;
  std::string out = path_join(cwd, path);
  std::free(cwd);
  return out;
}

// ------------------------------------------------- writes inside a store ---
//
// A store is shipped with data sets and shared between people, so it is
// input like any other: a symbolic link planted in it must not make kx write
// outside it.  Below the store directory (the first path component named
// ".kx"; the directory itself may be a link, to another disk say) a write
// goes through a link only where the file it reaches lies inside the store
// directory, links and ".." resolved.  Paths without a link below the store
// directory, nearly all, cost one lstat(2) per component and no resolution.

// Where the part of `path` below its store directory begins, or npos when
// the path has no ".kx" component with something after it.
static size_t store_inner_start(std::string_view path) {
  size_t at = 0;
  while (at < path.size()) {
    const size_t end = path.find('/', at);
    if (end == std::string_view::npos) return std::string_view::npos;
    if (path.substr(at, end - at) == ".kx") {
      size_t next = end + 1;
      while (next < path.size() && path[next] == '/') ++next;
      return next < path.size() ? next : std::string_view::npos;
    }
    at = end + 1;
  }
  return std::string_view::npos;
}

bool in_store(std::string_view path) { return store_inner_start(path) != std::string_view::npos; }

static Result<std::string> follow_links(const std::string& path);

// True when a component of `path` below its store directory is a symbolic
// link or "..": the directories, and the final name too with `final_too`.
static bool store_path_bends(std::string_view path, size_t at, bool final_too) {
  while (at < path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) {
      if (!final_too) return false;
      end = path.size();
    }
    const std::string_view name = path.substr(at, end - at);
    at = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") return true;
    struct stat st;
    const std::string prefix(path.substr(0, end));
    if (::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
  }
  return false;
}

// False, with errno ELOOP, when a write to `path` would reach a file outside
// its store directory.  With `final_too` false the final name is taken as it
// is (a rename, link or removal acts on the name, never on what it leads to).
static bool store_write_allowed(std::string_view path, bool final_too = true) {
  const size_t start = store_inner_start(path);
  if (start == std::string_view::npos || !store_path_bends(path, start, final_too)) return true;
  const std::string store = resolved_path(std::string(path.substr(0, start)));
  std::string reached;
  if (final_too) {
    auto followed = follow_links(std::string(path));  // a dangling link's target too
    reached = resolved_path(followed ? *followed : std::string(path));
  } else {
    reached = path_join(resolved_path(std::string(path_dirname(path))), path_basename(path));
  }
  if (reached.size() > store.size() && reached.starts_with(store) && reached[store.size()] == '/')
    return true;
  errno = ELOOP;
  return false;
}

int open_retry(const char* path, int flags, mode_t mode) {
  constexpr int kWriting = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
  if ((flags & kWriting) != 0 && !store_write_allowed(path)) return -1;
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

Result<size_t> read_at(int fd, char* out, size_t len, uint64_t offset) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = ::pread(fd, out + got, len - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail_errno();
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

// write_all that also tells how many bytes reached the file.
static Status write_all_counted(int fd, std::string_view data, size_t& done) {
  done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_errno();
    }
    if (n == 0) return fail_msg("failed to write whole buffer");
    done += static_cast<size_t>(n);
  }
  return {};
}

Status write_all(int fd, std::string_view data) {
  size_t done;
  return write_all_counted(fd, data, done);
}

// The most parts one write request of write_all(fd, parts) takes.
constexpr int kMaxWriteParts = 256;

Status write_all(int fd, std::vector<std::string_view> parts) {
  size_t next = 0;  // the first part not yet written whole
  while (next < parts.size()) {
    iovec io[kMaxWriteParts];
    int count = 0;
    for (size_t i = next; i < parts.size() && count < kMaxWriteParts; ++i, ++count) {
      io[count] = {const_cast<char*>(parts[i].data()), parts[i].size()};
    }
    ssize_t n = ::writev(fd, io, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_errno();
    }
    if (n == 0) return fail_msg("failed to write whole buffer");
    for (auto written = static_cast<size_t>(n); written > 0;) {
      const size_t taken = std::min(written, parts[next].size());
      parts[next].remove_prefix(taken);
      written -= taken;
      if (parts[next].empty()) ++next;
    }
    while (next < parts.size() && parts[next].empty()) ++next;
  }
  return {};
}

// True when the file open as `fd` is non-empty and its last byte is not a
// line feed: a line torn by a writer that was killed or ran out of space.
// Two cheap calls: lseek to the last byte gives the size on the way (an
// empty file has no last byte and fails it), and read takes that byte; fstat
// and pread cost about twice as much.  Appends ignore the file offset this
// moves.  A descriptor opened for writing only is read through the path.
static bool ends_in_torn_line(int fd, const std::string& path) {
  const off_t last_at = ::lseek(fd, -1, SEEK_END);
  if (last_at < 0) return false;
  char last = '\n';
  ssize_t n;
  do {
    n = ::read(fd, &last, 1);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EBADF) {
    UniqueFd rd(open_retry(path.c_str(), O_RDONLY));
    if (rd.get() < 0) return false;
    if (::pread(rd.get(), &last, 1, last_at) != 1) last = '\n';
  }
  return last != '\n';
}

// Cuts the `done` bytes of `data` that one failed write left at the end of
// the file, but only while they are still the file's last bytes (no other
// process appended after them).
static void cut_partial_write(int fd, const std::string& path, std::string_view data,
                              size_t done) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || static_cast<uint64_t>(info.st_size) < done) return;
  const off_t start = info.st_size - static_cast<off_t>(done);
  UniqueFd rd(open_retry(path.c_str(), O_RDONLY));
  if (rd.get() < 0) return;
  std::string tail(done, '\0');
  const bool ours = ::pread(rd.get(), tail.data(), done, start) == static_cast<ssize_t>(done) &&
                    std::string_view(tail) == data.substr(0, done);
  if (ours) (void)::ftruncate(fd, start);
}

Status append_whole(int fd, const std::string& path, std::string_view data) {
  std::string joined;
  if (!data.empty() && ends_in_torn_line(fd, path)) {
    // The torn piece stays a damaged line of its own, which readers skip;
    // glued to it, our first line would be lost too.  Two writers that both
    // see the tear add an empty line, which readers skip as well.
    joined.reserve(data.size() + 1);
    joined.push_back('\n');
    joined.append(data);
    data = joined;
  }
  size_t done;
  Status st = write_all_counted(fd, data, done);
  if (st) return st;
  if (done > 0) cut_partial_write(fd, path, data, done);
  return fail(std::move(st).error().about(path));
}

Status append_whole_lines(int fd, const std::string& path, std::string_view data) {
  while (!data.empty()) {
    size_t cut = data.size();
    if (cut > kMaxAppendRequest) {
      const size_t last = data.rfind('\n', kMaxAppendRequest - 1);
      cut = last != std::string_view::npos ? last + 1 : data.find('\n') + 1;
      if (cut == 0) cut = data.size();  // one unterminated line
    }
    KX_TRY(append_whole(fd, path, data.substr(0, cut)));
    data.remove_prefix(cut);
  }
  return {};
}

UniqueFd open_for_append(const std::string& path) {
  // Read-write, so that append_whole can check the last byte on the same
  // descriptor, and without access-time updates: under the usual relatime
  // mount, reading that byte from a file written since it was last read
  // would update the access time on every append, an inode write as costly
  // as the check itself.  Only the file's owner may ask for that; others
  // open without it, and write-only where reading is not permitted.
  constexpr int kAppend = O_RDWR | O_APPEND | O_CREAT;
  UniqueFd fd(open_retry(path.c_str(), kAppend | O_NOATIME));
  if (fd.get() < 0 && errno == EPERM) fd.reset(open_retry(path.c_str(), kAppend));
  if (fd.get() < 0 && errno == EACCES)
    fd.reset(open_retry(path.c_str(), O_WRONLY | O_APPEND | O_CREAT));
  return fd;
}

Status append_to_file(const std::string& path, std::string_view data) {
  UniqueFd fd = open_for_append(path);
  if (fd.get() < 0) return fail_errno(path);
  return append_whole(fd.get(), path, data);
}

Status create_dirs(const std::string& path) {
  if (path.empty()) return {};
  struct stat st;
  if (!store_write_allowed(path)) return fail_errno(path);
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return fail(Error::os(EEXIST).about(path));
  }
  std::string_view parent = path_dirname(path);
  if (parent != path && parent != "." && parent != "/") KX_TRY(create_dirs(std::string(parent)));
  if (::mkdir(path.c_str(), 0777) != 0) {
    int err = errno;
    // Another process may have created it meanwhile.
    if (err == EEXIST && is_dir(path)) return {};
    return fail(Error::os(err).about(path));
  }
  return {};
}

static FileInfo info_of(const struct stat& st) {
  return FileInfo{static_cast<uint64_t>(st.st_size),
                  static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                  S_ISREG(st.st_mode),
                  S_ISDIR(st.st_mode),
                  static_cast<uint64_t>(st.st_dev),
                  static_cast<uint64_t>(st.st_ino)};
}

std::optional<FileInfo> stat_path(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return info_of(st);
}

Result<FileInfo> stat_fd(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail_errno();
  return info_of(st);
}

bool is_dir(const std::string& path) {
  auto info = stat_path(path);
  return info && info->directory;
}

bool is_regular_file(const std::string& path) {
  auto info = stat_path(path);
  return info && info->regular;
}

bool DirEntry::is_regular_file() const {
  if (type == DT_REG) return true;
  if (type != DT_LNK && type != DT_UNKNOWN) return false;
  return kestrix::is_regular_file(path);
}

Result<std::vector<DirEntry>> list_dir(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return fail_errno(dir);
  std::vector<DirEntry> entries;
  for (;;) {
    errno = 0;
    struct dirent* ent = ::readdir(d);
    if (!ent) {
      int err = errno;
      ::closedir(d);
      if (err != 0) return fail(Error::os(err).about(dir));
      break;
    }
    std::string_view name(ent->d_name);
    if (name == "." || name == "..") continue;
    entries.push_back({std::string(name), path_join(dir, name), ent->d_type});
  }
  return entries;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      out.push_back(bytes[i++]);
      continue;
    }
    Utf8Step step = utf8_step(bytes.substr(i));
    if (step.valid) {
      out.append(bytes.substr(i, step.length));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += step.length;
  }
  return out;
}

Status remove_file(const std::string& path) {
  if (!store_write_allowed(path, false) || ::unlink(path.c_str()) != 0) return fail_errno(path);
  return {};
}

Status rename_path(const std::string& from, const std::string& to) {
  if (!store_write_allowed(to, false) || ::rename(from.c_str(), to.c_str()) != 0) return fail_errno(to);
  return {};
}

Status rename_no_replace(const std::string& from, const std::string& to) {
  if (!store_write_allowed(to, false) ||
      ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0)
    return fail_errno(to);
  return {};
}

Status link_path(const std::string& from, const std::string& to) {
  if (!store_write_allowed(to, false) || ::link(from.c_str(), to.c_str()) != 0) return fail_errno(to);
  return {};
}

Status remove_tree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return fail_errno(path);
  if (S_ISDIR(st.st_mode)) {
    KX_ASSIGN_OR_RETURN(auto entries, list_dir(path));
    for (const auto& e : entries) KX_TRY(remove_tree(e.path));
    if (::rmdir(path.c_str()) != 0) return fail_errno(path);
    return {};
  }
  return remove_file(path);
}

Status remove_dir(const std::string& path) {
  if (::rmdir(path.c_str()) != 0) return fail_errno(path);
  return {};
}

Status set_mtime(const std::string& path, int64_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = 0;
  if (!store_write_allowed(path) || ::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    return fail_errno(path);
  return {};
}

Result<std::optional<std::string>> read_whole_file(const std::string& path) {
  UniqueFd fd(open_retry(path.c_str(), O_RDONLY));
  if (fd.get() < 0) {
    const int err = errno;
    if (!stat_path(path)) return std::optional<std::string>();  // cannot be examined
    return fail(Error::os(err).about(path));
  }
  KX_ASSIGN_OR_RETURN(FileInfo info, stat_fd(fd.get()));
  if (info.directory) return fail(Error::os(EISDIR).about(path));
  if (info.size == 0) return std::optional<std::string>();
  // Read at most the length the file had when examined, as a mapping would;
  // a file truncated meanwhile reads short.
  std::string data;
  int err = 0;
  data.resize_and_overwrite(static_cast<size_t>(info.size), [&](char* buf, size_t cap) {
    auto got = read_at(fd.get(), buf, cap, 0);
    if (!got) {
      err = got.error().os_errno();
      return size_t{0};
    }
    return *got;
  });
  if (err != 0) return fail(Error::os(err).about(path));
  if (data.empty()) return std::optional<std::string>();
  return std::optional<std::string>(std::move(data));
}

Result<bool> stream_file(const std::string& path,
                         const std::function<Status(std::string_view)>& sink) {
  UniqueFd fd(open_retry(path.c_str(), O_RDONLY));
  if (fd.get() < 0) {
    if (errno == ENOENT) return false;
    return fail_errno(path);
  }
  std::string buf(1 << 20, '\0');
  for (;;) {
    ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail_errno(path);
    if (n == 0) return true;
    KX_TRY(sink(std::string_view(buf.data(), static_cast<size_t>(n))));
  }
}

// ------------------------------------------------------------ FileWriter ---

namespace {
constexpr size_t kWriteBuffer = 1 << 20;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Status UniqueFd::close() {
  if (fd_ < 0) return {};
  if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) return fail_errno();
  return {};
}

void close_in_background(UniqueFd fd) {
  try {
    std::thread([fd = std::move(fd)]() mutable { fd.reset(); }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the descriptor closed with the task that could
    // not start.
  }
}

FileWriter::~FileWriter() {
  if (fd_.get() >= 0) (void)flush();
}

Result<FileWriter> FileWriter::create(const std::string& path) {
  int fd = open_retry(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) return fail_errno(path);
  return FileWriter(fd, path);
}

Result<FileWriter> FileWriter::create_temp(const std::string& path) {
  int fd = open_retry(path.c_str(), O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) return fail_errno(path);
  // Held until the descriptor closes, on whatever host the owner runs:
  // sweep_stale_temps() takes the file for abandoned only when it can take
  // the lock itself.
  (void)::flock(fd, LOCK_EX | LOCK_NB);
  return FileWriter(fd, path);
}

Result<FileWriter> FileWriter::append(const std::string& path, bool create) {
  int fd = open_retry(path.c_str(), O_WRONLY | O_APPEND | (create ? O_CREAT : 0));
  if (fd < 0) return fail_errno(path);
  return FileWriter(fd, path);
}

Status FileWriter::named(Status st) const {
  if (st) return st;
  return fail(std::move(st).error().about(path_));
}

Status FileWriter::write(std::string_view data) {
  if (buffer_.size() + data.size() > kWriteBuffer) {
    KX_TRY(flush());
    if (data.size() >= kWriteBuffer) return named(write_all(fd_.get(), data));
  }
  buffer_.append(data);
  return {};
}

Status FileWriter::copy_from(int from, uint64_t offset, uint64_t len) {
  return named(copy_range(from, offset, len));
}

Status FileWriter::copy_range(int from, uint64_t offset, uint64_t len) {
  KX_TRY(flush());
  loff_t in = static_cast<loff_t>(offset);
  // Inside the kernel while the file system allows it.
  while (len > 0) {
    ssize_t n = ::copy_file_range(from, &in, fd_.get(), nullptr, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
      break;  // not on this file system or kernel
    if (n < 0) return fail_errno();
    if (n == 0) return fail_msg("the file being copied ended early");
    len -= static_cast<uint64_t>(n);
  }
  // The rest through a buffer.
  char chunk[1 << 16];
  while (len > 0) {
    ssize_t n = ::pread(from, chunk, std::min<uint64_t>(len, sizeof chunk), in);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail_errno();
    if (n == 0) return fail_msg("the file being copied ended early");
    KX_TRY(write_all(fd_.get(), std::string_view(chunk, static_cast<size_t>(n))));
    in += n;
    len -= static_cast<uint64_t>(n);
  }
  return {};
}

Status FileWriter::flush() {
  if (buffer_.empty()) return {};
  Status st = write_all(fd_.get(), buffer_);
  buffer_.clear();
  return named(std::move(st));
}

Status FileWriter::sync() {
  KX_TRY(flush());
  while (::fsync(fd_.get()) != 0) {
    if (errno != EINTR) return fail_errno(path_);
  }
  return {};
}

Status FileWriter::close() {
  if (fd_.get() < 0) return {};
  Status st = flush();
  Status closed = fd_.close();
  if (!st) return st;
  return named(std::move(closed));
}

// ------------------------------------------------------------ AtomicFile ---

static constexpr std::string_view kTempPrefix = ".kxtmp.";

bool is_temp_name(std::string_view name) { return name.starts_with(kTempPrefix); }

// The process id in a temporary file's name ".kxtmp.<pid>.<n>.<rest>",
// or 0 when the name has none.
static long temp_owner_pid(std::string_view name) {
  std::string_view rest = name.substr(kTempPrefix.size());
  size_t dot = rest.find('.');
  if (dot == std::string_view::npos || rest.find('.', dot + 1) == std::string_view::npos) return 0;
  long pid = 0;
  for (char c : rest.substr(0, dot)) {
    if (c < '0' || c > '9' || pid > 1 << 30) return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

// The name a temporary file's name ends in: the file its rewrite replaces.
static std::string_view temp_target_name(std::string_view name) {
  std::string_view rest = name.substr(kTempPrefix.size());
  size_t dot = rest.find('.');
  size_t second = rest.find('.', dot + 1);
  return rest.substr(second + 1);
}

// The temporary file at `path`, opened and locked, when its owner is
// provably gone: no process here has the pid its name gives, and nobody
// holds its lock (a rewrite holds it until it renames the file).  The lock
// also speaks for owners on other hosts of a shared file system.  No
// descriptor (-1) when the owner may be alive.
static UniqueFd lock_abandoned_temp(const std::string& path, long pid) {
  if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) return UniqueFd();  // may be alive
  UniqueFd fd(open_retry(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return UniqueFd();
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return UniqueFd();
  return fd;
}

// Calls on_abandoned(path) for each temporary file of `dir` (of rewrites of
// `for_target` when it is set) whose owner is provably gone, while holding
// the file's lock.
template <typename Fn>
static void for_each_abandoned_temp(const std::string& dir, std::string_view for_target,
                                    Fn&& on_abandoned) {
  if (!store_write_allowed(path_join(dir, "x"), false)) return;
  auto entries = list_dir(dir);
  if (!entries) return;
  for (const DirEntry& entry : *entries) {
    std::string_view name = entry.name;
    if (!is_temp_name(name)) continue;
    const long pid = temp_owner_pid(name);
    if (pid <= 0) continue;
    if (!for_target.empty() && temp_target_name(name) != for_target) continue;
    UniqueFd locked = lock_abandoned_temp(entry.path, pid);
    if (locked.get() >= 0) on_abandoned(entry.path);
  }
}

uint64_t sweep_stale_temps(const std::string& dir, std::string_view for_target) {
  uint64_t removed = 0;
  for_each_abandoned_temp(dir, for_target, [&](const std::string& path) {
    if (::unlink(path.c_str()) == 0) ++removed;
  });
  return removed;
}

std::vector<std::string> abandoned_temps(const std::string& dir) {
  std::vector<std::string> found;
  for_each_abandoned_temp(dir, {}, [&](const std::string& path) { found.push_back(path); });
  return found;
}

// The file a path names after following symbolic links (also a dangling
// link's missing target), so that a rewrite replaces that file rather than
// the link.  `path` itself when it is no link.
static Result<std::string> follow_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
    if (n < 0) return fail_errno(current);
    link.resize(static_cast<size_t>(n));
    current = path_join(path_dirname(current), link);
  }
  return fail(Error::os(ELOOP).about(path));
}

Result<AtomicFile> AtomicFile::begin(const std::string& path, const std::string& tmp_dir) {
  static std::atomic<uint64_t> counter{0};
  AtomicFile f;
  if (!store_write_allowed(path)) return fail_errno(path);
  KX_ASSIGN_OR_RETURN(f.target_, follow_links(path));
  const std::string& target = f.target_;
  // A link may lead to another file system: the temporary file then goes
  // beside the file it replaces.
  std::string dir =
      tmp_dir.empty() || target != path ? std::string(path_dirname(target)) : tmp_dir;
  // Copies left in this directory by rewrites that were killed part-way.
  sweep_stale_temps(dir);
  // A name of an earlier process with our pid may still be taken.
  for (int attempt = 0;; ++attempt) {
    f.tmp_path_ = path_join(dir, std::string(kTempPrefix) + std::to_string(::getpid()) + "." +
                                     std::to_string(counter.fetch_add(1)) + "." +
                                     std::string(path_basename(target)));
    auto writer = FileWriter::create_temp(f.tmp_path_);
    if (writer) {
      f.writer_ = std::move(*writer);
      f.writer_.report_as(target);
      break;
    }
    // What cannot be created beside the file keeps the file from being
    // rewritten: the error concerns the file.
    if (writer.error().os_errno() != EEXIST || attempt == 100)
      return fail(Error::os(writer.error().os_errno()).about(target));
  }
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) (void)::fchmod(f.writer_.fd(), st.st_mode & 07777);
  return f;
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : target_(std::move(other.target_)),
      tmp_path_(std::move(other.tmp_path_)),
      writer_(std::move(other.writer_)),
      done_(other.done_) {
  other.done_ = true;
}

AtomicFile::~AtomicFile() {
  if (!done_) {
    ::unlink(tmp_path_.c_str());  // before the close gives up the lock
    (void)writer_.close();
  }
}

void sync_dir(const std::string& dir) {
  UniqueFd fd(open_retry(dir.c_str(), O_RDONLY | O_DIRECTORY));
  // Some file systems cannot flush a directory (EINVAL); the rename is then
  // as durable as they make it.
  if (fd.get() >= 0) (void)::fsync(fd.get());
}

Status AtomicFile::commit() {
  done_ = true;
  // The new content reaches the disk before its name does, so that a power
  // loss leaves the old file or the whole new one, never an empty file in
  // the old one's place.  The descriptor, and with it the lock, is kept
  // until the rename.
  Status st = writer_.sync();
  if (st) st = rename_path(tmp_path_, target_);
  Status closed = writer_.close();
  if (!st) {
    ::unlink(tmp_path_.c_str());
    return st;
  }
  sync_dir(std::string(path_dirname(target_)));
  return closed;
}

Status atomic_write(const std::string& target, std::string_view content,
                    const std::string& tmp_dir) {
  KX_ASSIGN_OR_RETURN(AtomicFile f, AtomicFile::begin(target, tmp_dir));
  KX_TRY(f.write(content));
  return f.commit();
}

std::string quote_path(std::string_view path) {
  std::string out = "\"";
  size_t i = 0;
  while (i < path.size()) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c >= 0x80) {
      // A valid sequence is copied; each byte of a broken one is escaped.
      Utf8Step step = utf8_step(path.substr(i));
      if (step.valid) {
        out.append(path.substr(i, step.length));
      } else {
        for (size_t k = 0; k < step.length; ++k) {
          const auto b = static_cast<uint8_t>(path[i + k]);
          out.append("\\x");
          out.append(bytes_to_hex(&b, 1));
        }
      }
      i += step.length;
      continue;
    }
    switch (c) {
      case '\\': out.append("\\\\"); break;
      case '"': out.append("\\\""); break;
      case '\t': out.append("\\t"); break;
      case '\r': out.append("\\r"); break;
      case '\n': out.append("\\n"); break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out.append(buf);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
  return out;
}

std::optional<std::string> unquote_path(std::string_view text) {
  if (text.empty() || text.front() != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') return out;
    if (c != '\\' || i + 1 >= text.size()) {
      out.push_back(c);
      continue;
    }
    char e = text[++i];
    switch (e) {
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case 'x':
        if (i + 2 < text.size() && hex_digit_value(text[i + 1]) >= 0 && hex_digit_value(text[i + 2]) >= 0) {
          out.push_back(static_cast<char>(hex_digit_value(text[i + 1]) * 16 + hex_digit_value(text[i + 2])));
          i += 2;
          break;
        }
        out.append("\\x");
        break;
      case 'u': {
        // \u{..}: a control character.
        size_t close = text.find('}', i);
        unsigned value = 0;
        bool ok = i + 1 < text.size() && text[i + 1] == '{' && close != std::string_view::npos &&
                  close > i + 2 && close - i <= 4;
        for (size_t k = i + 2; ok && k < close; ++k) {
          int d = hex_digit_value(text[k]);
          ok = d >= 0;
          value = value * 16 + static_cast<unsigned>(d);
        }
        if (ok && value < 0x80) {
          out.push_back(static_cast<char>(value));
          i = close;
        } else {
          out.append("\\u");
        }
        break;
      }
      default:
        out.push_back('\\');
        out.push_back(e);
    }
  }
  return std::nullopt;
}

Result<std::optional<RangeReader>> RangeReader::open(const std::string& path) {
  if (!stat_path(path)) return std::optional<RangeReader>();
  UniqueFd fd(open_retry(path.c_str(), O_RDONLY));
  if (fd.get() < 0) return fail_errno(path);
  KX_ASSIGN_OR_RETURN(FileInfo info, stat_fd(fd.get()));
  if (info.directory) return fail(Error::os(EISDIR).about(path));
  if (info.size == 0) return std::optional<RangeReader>();
  return std::optional<RangeReader>(RangeReader(std::move(fd), info.size, path));
}

Status RangeReader::read_at(uint64_t offset, size_t n, std::string& out) const {
  out.resize(n);
  auto got = kestrix::read_at(fd_.get(), out.data(), n, offset);
  if (!got) {
    out.clear();
    return fail(std::move(got).error().about(path_));
  }
  out.resize(*got);  // short when the file shrank
  return {};
}

// ---------------------------------------------------------- DirectWriter ---

Status DirectWriter::open(const std::string& path, bool direct, size_t staging_size,
                          const std::string& report_as) {
  path_ = report_as.empty() ? path : report_as;
  fd_.reset(open_retry(path.c_str(), O_WRONLY | (direct ? O_DIRECT : 0)));
  if (fd_.get() < 0 && direct && errno == EINVAL) return open(path, false, staging_size, report_as);
  if (fd_.get() < 0) return fail_errno(path_);
  direct_ = direct;
  staging_size_ = (std::max<size_t>(staging_size, 1) + kAlign - 1) / kAlign * kAlign;
  if (!staging_.reserve(staging_size_)) return fail(Error::os(ENOMEM));
  return {};
}

void DirectWriter::preallocate(uint64_t size) {
  (void)::fallocate(fd_.get(), 0, 0, static_cast<off_t>(size));
}

Status DirectWriter::append(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t n = std::min(bytes.size(), staging_size_ - fill_);
    std::memcpy(staging_.data() + fill_, bytes.data(), n);
    fill_ += n;
    bytes.remove_prefix(n);
    if (fill_ == staging_size_) KX_TRY(flush(fill_));
  }
  return {};
}

Status DirectWriter::finish() {
  const uint64_t end = size();
  const size_t padded = (fill_ + kAlign - 1) / kAlign * kAlign;
  std::memset(staging_.data() + fill_, 0, padded - fill_);
  KX_TRY(flush(direct_ ? padded : fill_));
  if (::ftruncate(fd_.get(), static_cast<off_t>(end)) != 0) return fail_errno(path_);
  return {};
}

// Writes the first `len` bytes of the staging buffer (a whole number of
// blocks, or the padded end) and moves what follows them to its start.
Status DirectWriter::flush(size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pwrite(fd_.get(), staging_.data() + done, len - done,
                         static_cast<off_t>(flushed_ + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL && direct_) {
      // Accepted at open but refused now: go on with buffered writes.
      const int flags = ::fcntl(fd_.get(), F_GETFL);
      if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags & ~O_DIRECT) != 0) return fail_errno(path_);
      direct_ = false;
      continue;
    }
    if (n < 0) return fail_errno(path_);
    if (n == 0) return fail(Error::msg("failed to write whole buffer").about(path_));
    done += static_cast<size_t>(n);
  }
  const size_t kept = len <= fill_ ? fill_ - len : 0;
  if (kept > 0) std::memmove(staging_.data(), staging_.data() + len, kept);
  flushed_ += std::min(len, fill_);
  fill_ = kept;
  return {};
}

// --------------------------------------------------------------- Mapping ---

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Mapping::~Mapping() {
  if (data_ != nullptr) ::munmap(data_, size_);
}

Result<Mapping> Mapping::make(size_t size, int prot, int flags, int fd) {
  void* p = ::mmap(nullptr, size, prot, flags, fd, 0);
  if (p == MAP_FAILED) return fail_errno();
  Mapping m;
  m.data_ = static_cast<char*>(p);
  m.size_ = size;
  return m;
}

Result<Mapping> Mapping::map(int fd, size_t size, bool writable) {
  return make(size, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd);
}

Result<Mapping> Mapping::anonymous(size_t size) {
  return make(size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1);
}

Status Mapping::sync() {
  if (::msync(data_, size_, MS_SYNC) != 0) return fail_errno();
  return {};
}

// ------------------------------------------------------------ HugeBuffer ---

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}

bool HugeBuffer::reserve(size_t n, size_t keep) {
  if (n <= capacity()) return true;
  auto bigger = Mapping::anonymous((n + kHugePage - 1) / kHugePage * kHugePage);
  if (!bigger) return false;
  (void)::madvise(bigger->data(), bigger->size(), MADV_HUGEPAGE);
  if (keep > 0) std::memcpy(bigger->data(), data(), keep);
  memory_ = std::move(*bigger);
  return true;
}

}  // namespace kestrix
