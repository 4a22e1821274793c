// The per-data-file lock; see data_file_lock.h.
#include "data_file_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hash.h"
#include "lib.h"

namespace kestrix {
namespace {

constexpr std::string_view kLocksDir = "locks";

std::string lock_name(const std::string& recorded_as) { return sha256_hex(recorded_as); }

Error os_error(std::string_view path) { return Error::os(errno).about(path); }

// The locks directory, opened without following a link; created when
// `create` is set, else an absent one gives -1 without an error.
Result<UniqueFd> open_locks_dir(const std::string& kx_dir, bool create) {
  const std::string store = store_dir(kx_dir);
  UniqueFd dir(open_retry(store.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir.get() < 0) return fail(os_error(store));
  const std::string path = path_join(store, kLocksDir);
  if (create && ::mkdirat(dir.get(), "locks", 0777) != 0 && errno != EEXIST) return fail(os_error(path));
  int fd;
  do fd = ::openat(dir.get(), "locks", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0 && !create && errno == ENOENT) return UniqueFd();
  if (fd < 0) return fail(os_error(path));
  return UniqueFd(fd);
}

Result<UniqueFd> open_lock_file(int dir, const std::string& path, const std::string& name, int flags) {
  int fd;
  do fd = ::openat(dir, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(os_error(path));
  return UniqueFd(fd);
}

// Waits for a write lock on the whole file: an open-file-description lock
// where the kernel has them, else a process-wide record lock.
Status lock_whole(int fd, const std::string& path) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  int command = F_OFD_SETLKW;
  for (;;) {
    if (::fcntl(fd, command, &lock) == 0) return {};
    if (errno == EINTR) continue;
    if (errno == EINVAL && command == F_OFD_SETLKW) {
      command = F_SETLKW;
      continue;
    }
    return fail(os_error(path));
  }
}

Result<uint64_t> read_generation(int fd, const std::string& path) {
  char bytes[8] = {};
  auto got = read_at(fd, bytes, sizeof bytes, 0);
  if (!got) return fail(std::move(got).error().about(path));
  if (*got < sizeof bytes) return uint64_t{0};  // new, or created by a holder killed at once
  uint64_t generation = 0;
  for (int i = 7; i >= 0; --i) generation = generation << 8 | static_cast<unsigned char>(bytes[i]);
  return generation;
}

Status write_generation(int fd, const std::string& path, uint64_t generation) {
  char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(generation >> (8 * i));
  ssize_t wrote;
  do wrote = ::pwrite(fd, bytes, sizeof bytes, 0);
  while (wrote < 0 && errno == EINTR);
  if (wrote < 0) return fail(os_error(path));
  if (wrote != sizeof bytes) return fail(Error::msg("short write of a lock file").about(path));
  return {};
}

}  // namespace

Result<DataFileLock> DataFileLock::acquire(const std::string& kx_dir, const std::string& recorded_as) {
  KX_ASSIGN_OR_RETURN(UniqueFd dir, open_locks_dir(kx_dir, true));
  const std::string name = lock_name(recorded_as);
  std::string path = path_join(store_path(kx_dir, kLocksDir), name);
  KX_ASSIGN_OR_RETURN(UniqueFd fd, open_lock_file(dir.get(), path, name, O_RDWR | O_CREAT));
  KX_TRY(lock_whole(fd.get(), path));
  KX_ASSIGN_OR_RETURN(uint64_t previous, read_generation(fd.get(), path));
  KX_TRY(write_generation(fd.get(), path, (previous + 1) | 1));
  return DataFileLock(std::move(fd), std::move(path), previous);
}

Status DataFileLock::finish() {
  if (fd_.get() < 0) return {};
  KX_ASSIGN_OR_RETURN(uint64_t generation, read_generation(fd_.get(), path_));
  KX_TRY(write_generation(fd_.get(), path_, generation + 1));
  return fd_.close();
}

Result<std::vector<uint64_t>> data_file_generations(const std::string& kx_dir,
                                                    const std::vector<std::string>& recorded_as) {
  std::vector<uint64_t> generations(recorded_as.size(), 0);
  if (!is_dir(store_dir(kx_dir))) return generations;
  KX_ASSIGN_OR_RETURN(UniqueFd dir, open_locks_dir(kx_dir, false));
  if (dir.get() < 0) return generations;
  for (size_t i = 0; i < recorded_as.size(); ++i) {
    const std::string name = lock_name(recorded_as[i]);
    const std::string path = path_join(store_path(kx_dir, kLocksDir), name);
    int opened;
    do opened = ::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    while (opened < 0 && errno == EINTR);
    if (opened < 0 && errno == ENOENT) continue;
    if (opened < 0) return fail(os_error(path));
    UniqueFd fd(opened);
    KX_ASSIGN_OR_RETURN(generations[i], read_generation(fd.get(), path));
  }
  return generations;
}

}  // namespace kestrix
