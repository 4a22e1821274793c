#include "oplog.h"

#include <ctime>

#include "fs.h"
#include "lib.h"

namespace kestrix::oplog {

std::string format_timestamp(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lld-%02lld:%02lld:%02lld",
                static_cast<long long>(seconds / 86400),
                static_cast<long long>((seconds % 86400) / 3600),
                static_cast<long long>((seconds % 3600) / 60), static_cast<long long>(seconds % 60));
  return buf;
}

namespace {
thread_local const std::string* redirected_to = nullptr;
}  // namespace

Redirect::Redirect(std::string path) : path_(std::move(path)), previous_(redirected_to) {
  redirected_to = &path_;
}

Redirect::~Redirect() { redirected_to = previous_; }

Status append(const std::string& kx_dir, std::string_view operation, std::string_view detail) {
  std::string line = format_timestamp(static_cast<int64_t>(std::time(nullptr)));
  line.push_back(' ');
  line.append(operation);
  line.push_back(' ');
  line.append(detail);
  line.push_back('\n');
  return append_to_file(redirected_to ? *redirected_to : store_path(kx_dir, "log"), line);
}

}  // namespace kestrix::oplog
