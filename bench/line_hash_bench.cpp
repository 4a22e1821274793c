// Single-threaded throughput of the line-hash pipeline (parse one JSON line,
// write its canonical text, SHA-256 it) against raw SHA-256 of the same
// bytes.  Each figure is the best of five rounds, in wall time and in the
// process's CPU time (steadier on a shared machine).
//   line_hash_bench FILE [--json]   (--json: one JSON object on stdout)
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "hash.h"
#include "mmap_lines.h"

using namespace kestrix;

namespace {

struct Timing {
  double wall = 1e9;
  double cpu = 1e9;
};

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs fn once and keeps the smaller wall and CPU times in best.
template <typename Fn>
void time_into(Timing& best, Fn&& fn) {
  auto t0 = std::chrono::steady_clock::now();
  double c0 = cpu_now();
  fn();
  double cpu = cpu_now() - c0;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  best.wall = std::min(best.wall, wall);
  best.cpu = std::min(best.cpu, cpu);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) return 2;
  bool json = argc == 3 && std::string(argv[2]) == "--json";
  auto bytes = read_file_bytes(argv[1]);
  if (!bytes || !*bytes) return 1;
  std::string_view data = (*bytes)->view();
  double mb = static_cast<double>(data.size()) / 1e6;

  unsigned char digest[32];
  size_t lines = 0;
  Timing whole, per_line, pipe;
  for (int round = 0; round < 5; ++round) {
    time_into(whole, [&] { sha256(data, digest); });
    time_into(per_line, [&] {
      for_each_line(data, [&](std::string_view line) { sha256(line, digest); });
    });
    std::string hex;
    time_into(pipe, [&] {
      lines = 0;
      for_each_line(data, [&](std::string_view line) { lines += hash_json_line(line, hex); });
    });
  }
  if (json) {
    std::printf(
        "{\"bytes\":%zu,\"lines\":%zu,"
        "\"sha256_one_call\":{\"wall\":%.6f,\"cpu\":%.6f},"
        "\"sha256_per_line\":{\"wall\":%.6f,\"cpu\":%.6f},"
        "\"pipeline\":{\"wall\":%.6f,\"cpu\":%.6f}}\n",
        data.size(), lines, whole.wall, whole.cpu, per_line.wall, per_line.cpu, pipe.wall, pipe.cpu);
    return 0;
  }
  std::printf("lines hashed            %zu (%.1f MB)\n", lines, mb);
  std::printf("sha256 one call         %8.1f MB/s\n", mb / whole.wall);
  std::printf("sha256 per line         %8.1f MB/s\n", mb / per_line.wall);
  std::printf("parse+canonical+sha256  %8.1f MB/s  (%.2f of one-call sha256)\n", mb / pipe.wall,
              whole.wall / pipe.wall);
  return 0;
}
