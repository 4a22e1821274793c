// Shared pieces of the libFuzzer harnesses: a checked assertion that
// reports what differed, a scratch store directory private to the fuzzing
// process (on /dev/shm when it is writable, to keep file round trips cheap),
// and a reader that carves structured values out of the fuzzer's bytes.
//
// Every harness treats a failed check as a crash (abort), so libFuzzer keeps
// the input that caused it; sanitizer findings crash on their own.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#define FUZZ_CHECK(cond, ...)                                                     \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, "  " __VA_ARGS__);                                     \
      std::fprintf(stderr, "\n");                                                 \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

namespace fuzz {

// A project directory holding an empty store "<dir>/.kx", made once per
// process and removed at exit.
inline const std::string& scratch_project() {
  static const std::string dir = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/kx-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) std::abort();
    if (mkdir((tmpl + "/.kx").c_str(), 0777) != 0) std::abort();
    static std::string cleanup_dir = tmpl;
    std::atexit([] {
      std::string cmd = "rm -rf '" + cleanup_dir + "'";
      if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", cleanup_dir.c_str());
    });
    return tmpl;
  }();
  return dir;
}

// Replaces the file at `path` with `bytes`.
inline void write_file(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) std::abort();
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// Consumes the fuzzer's bytes front to back; reads past the end give zeros
// and empty strings, so every input is usable.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  bool empty() const { return p_ == end_; }
  size_t left() const { return static_cast<size_t>(end_ - p_); }

  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{byte()} << (8 * i);
    return v;
  }
  // Up to `n` bytes.
  std::string_view bytes(size_t n) {
    n = std::min(n, left());
    std::string_view out(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return out;
  }
  std::string_view rest() { return bytes(left()); }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

inline std::string printable(std::string_view s, size_t limit = 200) {
  std::string out;
  for (unsigned char c : s.substr(0, limit)) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  if (s.size() > limit) out += "...";
  return out;
}

}  // namespace fuzz
