// Single-threaded throughput of the line-hash pipeline (parse one JSON line,
// write its canonical text, SHA-256 it) against raw SHA-256 of the same
// bytes.  Usage: line_hash_bench FILE
#include <chrono>
#include <cstdio>
#include <string>

#include "hash.h"
#include "mmap_lines.h"

using namespace kestrix;

template <typename Fn>
double seconds(Fn&& fn) {
  auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  auto bytes = mmap_file(argv[1]);
  if (!bytes || !*bytes) return 1;
  std::string_view data = (*bytes)->view();
  double mb = static_cast<double>(data.size()) / 1e6;

  unsigned char digest[32];
  size_t lines = 0;
  double best_raw = 1e9, best_pipe = 1e9, best_whole = 1e9;
  for (int round = 0; round < 3; ++round) {
    best_whole = std::min(best_whole, seconds([&] { sha256(data, digest); }));
    best_raw = std::min(best_raw, seconds([&] {
      for_each_line(data, [&](std::string_view line) { sha256(line, digest); });
    }));
    std::string hex, scratch;
    best_pipe = std::min(best_pipe, seconds([&] {
      lines = 0;
      for_each_line(data, [&](std::string_view line) {
        lines += hash_json_line(line, hex, scratch);
      });
    }));
  }
  std::printf("lines hashed            %zu (%.1f MB)\n", lines, mb);
  std::printf("sha256 one call         %8.1f MB/s\n", mb / best_whole);
  std::printf("sha256 per line         %8.1f MB/s\n", mb / best_raw);
  std::printf("parse+canonical+sha256  %8.1f MB/s  (%.2f of one-call sha256)\n", mb / best_pipe,
              best_whole / best_pipe);
  return 0;
}
