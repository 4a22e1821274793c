// The operation log <kx_dir>/.kx/log: one line "<timestamp> <operation>
// <detail>" per consent or maintenance operation, appended in one write.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"

namespace kestrix::oplog {

// "<days>-<HH>:<MM>:<SS>" for a time in seconds since the epoch (negative
// times count as 0).
std::string format_timestamp(int64_t seconds);

// Appends one line stamped with the current time.  The store directory must
// exist; the log file is created when missing.
Status append(const std::string& kx_dir, std::string_view operation, std::string_view detail);

// While one lives, append() on this thread writes to `path` instead of the
// store's log: an operation run as a task on another host leaves its log
// lines for the one process that writes the store, since appends to a
// shared file from several hosts are not atomic on network file systems.
class Redirect {
 public:
  explicit Redirect(std::string path);
  ~Redirect();
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  std::string path_;
  const std::string* previous_;
};

}  // namespace kestrix::oplog
