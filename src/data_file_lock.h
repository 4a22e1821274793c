// The per-data-file lock of the store: whoever records the lines of a data
// file holds it from the check of what the store already holds for the file
// until the last record is written, so that two trackers of one file never
// both find a line missing and both record it.
//
// File: <kx_dir>/.kx/locks/<SHA-256 of the file's recorded name, hex>, eight
// bytes: the file's generation, a little-endian count of the times the lock
// was taken.  The lock is an open-file-description record lock (fcntl
// F_OFD_SETLKW) on the whole file, which a shared file system (NFS) passes to
// its server, so that trackers on several hosts exclude each other too.  It
// is held by the descriptor, so two holders in one process exclude each
// other as two processes do, and the kernel drops it when its holder dies:
// a killed tracker never leaves a file locked.
//
// The generation lets a caller skip the check without a race.  Taking the
// lock makes it odd (a holder is writing), before anything is written;
// finish() makes it even again once the holder is done, and a holder that
// dies or fails leaves it odd.  A caller that read an even generation g
// before it found that no record names the file may write without checking
// when the lock, once taken, shows g still: nobody has held it since, so no
// record of the file was written since that finding either.
// The locks directory is opened without following a symbolic link, and so
// is each lock file: a link planted there never makes kx create or lock a
// file outside the store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"
#include "fs.h"

namespace kestrix {

class DataFileLock {
 public:
  // Blocks until the lock of `recorded_as` is held, then makes its
  // generation odd.  previous_generation() is the one found.
  static Result<DataFileLock> acquire(const std::string& kx_dir, const std::string& recorded_as);

  DataFileLock(DataFileLock&&) noexcept = default;
  DataFileLock& operator=(DataFileLock&&) noexcept = default;

  uint64_t previous_generation() const { return previous_; }
  // Whether a caller that read `generation` before finding no record of
  // the file may skip the check: nobody held the lock since.
  bool untouched_since(uint64_t generation) const {
    return generation % 2 == 0 && generation == previous_;
  }
  // Marks the holder's writes complete (an even generation) and releases
  // the lock.  Without it, the lock is released when the object goes.
  Status finish();

 private:
  DataFileLock(UniqueFd fd, std::string path, uint64_t generation)
      : fd_(std::move(fd)), path_(std::move(path)), previous_(generation) {}
  UniqueFd fd_;
  std::string path_;
  uint64_t previous_ = 0;
};

// The current generation of each name (0 for a file whose lock was never
// taken), read without taking the locks.
Result<std::vector<uint64_t>> data_file_generations(const std::string& kx_dir,
                                                    const std::vector<std::string>& recorded_as);

}  // namespace kestrix
