// Micro-benchmark and damage check of index.bin lookups.
//
//   lookup_bench bench [dir] [--json] [--sizes N,M,...]
//                              lookups per second for 10k, 100k and 1M keys
//                              (--json: one JSON object per size on stdout)
//   lookup_bench fuzz [dir]    opens and searches thousands of damaged copies
//                              of a small index; must end without a crash
//                              (build it with sanitizers to catch stray reads)
// Built by bench/build_lookup_bench.sh.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "binary_index.h"
#include "fs.h"
#include "lib.h"

using namespace kestrix;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this thread: the machine is shared, so wall time includes
// time spent waiting for a core.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<IndexEntry> random_entries(size_t n, std::mt19937_64& rng, bool with_lines) {
  std::vector<IndexEntry> entries(n);
  for (IndexEntry& e : entries) {
    for (auto& b : e.hash) b = static_cast<uint8_t>(rng());
    e.refs.push_back(ShardRef{static_cast<uint8_t>(rng())});
    e.refs.push_back(ShardRef{static_cast<uint8_t>(rng())});
    if (with_lines)
      e.refs.push_back(TokenLineRef{"tok", static_cast<uint32_t>(rng()), 80, 1});
  }
  return entries;
}

std::string key_hex(const Digest& key) {
  static const char* digits = "0123456789abcdef";
  std::string s(64, '0');
  for (int i = 0; i < 32; ++i) {
    s[2 * i] = digits[key[i] >> 4];
    s[2 * i + 1] = digits[key[i] & 15];
  }
  return s;
}

void die(const Error& e) {
  std::fprintf(stderr, "error: %s\n", e.outermost().c_str());
  std::exit(1);
}

int bench(const std::string& dir, const std::vector<size_t>& sizes, bool json) {
  std::mt19937_64 rng(42);
  if (!json)
    std::printf("%10s %9s %13s %11s %12s %15s %15s %13s %11s\n", "keys", "open_ms", "first_pass_s",
                "hit_ns", "hit_cpu_ns", "hits_per_cpu_s", "hot10k_cpu_ns", "hot1k_cpu_ns", "miss_ns");
  for (size_t n : sizes) {
    const std::string kx = dir + "/bench" + std::to_string(n);
    if (auto st = KxDir::init(kx); !st) die(st.error());
    auto entries = random_entries(n, rng, false);
    // The key texts back to back, so the benchmark's own reads stay cheap.
    std::string key_text;
    for (const auto& e : entries) key_text += key_hex(e.hash);
    auto key_at = [&](size_t i) { return std::string_view(key_text).substr(64 * i, 64); };
    if (auto st = binary_index::build(kx, entries); !st) die(st.error());

    auto t0 = Clock::now();
    auto opened = binary_index::open(kx);
    if (!opened || !*opened) die(opened ? Error::msg("missing") : opened.error());
    double first_open_ms = seconds_since(t0) * 1e3;
    opened = binary_index::open(kx);  // again, now that the new file has settled
    t0 = Clock::now();
    opened = binary_index::open(kx);
    double open_ms = seconds_since(t0) * 1e3;
    (void)first_open_ms;
    const BinaryIndex& index = **opened;

    // First pass: every key once, which also loads every bucket.
    t0 = Clock::now();
    size_t found = 0;
    for (size_t i = 0; i < n; ++i) found += binary_index::lookup(index, key_at(i))->size();
    double first_pass = seconds_since(t0);
    if (found != 2 * n) die(Error::msg("lookups lost references"));

    // The keys to look up, in lookup order and back to back, so that
    // fetching the next key is a sequential read and the figures are the
    // lookups' own.
    const size_t rounds = 2000000;
    std::string sequence(64 * rounds, '\0');
    auto fill_sequence = [&](size_t distinct) {
      for (size_t r = 0; r < rounds; ++r)
        std::memcpy(sequence.data() + 64 * r, key_at(rng() % distinct).data(), 64);
    };
    auto run_sequence = [&] {
      size_t refs = 0;
      for (size_t r = 0; r < rounds; ++r)
        refs += binary_index::lookup(index, std::string_view(sequence).substr(64 * r, 64))->size();
      if (refs != 2 * rounds) die(Error::msg("wrong reference count"));
    };
    fill_sequence(n);
    t0 = Clock::now();
    double c0 = cpu_seconds();
    run_sequence();
    double hit_s = seconds_since(t0);
    double hit_cpu = cpu_seconds() - c0;

    // The same number of distinct keys at every size: separates the cost
    // of the search from the cost of missing the caches.  What 1,000 keys
    // touch stays in the caches at every size; what 10,000 touch does not.
    fill_sequence(std::min<size_t>(n, 10000));
    c0 = cpu_seconds();
    run_sequence();
    double hot_cpu = cpu_seconds() - c0;
    fill_sequence(std::min<size_t>(n, 1000));
    c0 = cpu_seconds();
    run_sequence();
    double hot1k_cpu = cpu_seconds() - c0;
    size_t refs = 0;

    std::vector<std::string> absent;
    for (size_t i = 0; i < 100000; ++i) {
      Digest k;
      for (auto& b : k) b = static_cast<uint8_t>(rng());
      absent.push_back(key_hex(k));
    }
    t0 = Clock::now();
    for (const std::string& k : absent) refs += binary_index::lookup(index, k)->size();
    double miss_s = seconds_since(t0);

    if (json)
      std::printf("{\"keys\":%zu,\"open_ms\":%.4f,\"first_pass_s\":%.6f,\"hit_ns\":%.2f,"
                  "\"hit_cpu_ns\":%.2f,\"hot10k_cpu_ns\":%.2f,\"hot1k_cpu_ns\":%.2f,"
                  "\"miss_ns\":%.2f}\n",
                  n, open_ms, first_pass, hit_s / rounds * 1e9, hit_cpu / rounds * 1e9,
                  hot_cpu / rounds * 1e9, hot1k_cpu / rounds * 1e9, miss_s / absent.size() * 1e9);
    else
      std::printf("%10zu %9.2f %13.3f %11.1f %12.1f %15.0f %15.1f %13.1f %11.1f\n", n, open_ms,
                  first_pass, hit_s / rounds * 1e9, hit_cpu / rounds * 1e9, rounds / hit_cpu,
                  hot_cpu / rounds * 1e9, hot1k_cpu / rounds * 1e9, miss_s / absent.size() * 1e9);
    std::fflush(stdout);
    (void)remove_tree(kx);
  }
  return 0;
}

// A key with more references than one entry holds comes back whole and in
// order, next to keys that share its first bytes.
void check_split_round_trip(const std::string& kx, std::mt19937_64& rng) {
  auto entries = random_entries(50, rng, false);
  IndexEntry& big = entries[10];
  big.refs.clear();
  for (uint32_t i = 0; i < 6000; ++i)
    big.refs.push_back(TokenLineRef{"tokenizer-" + std::to_string(i % 7), i, i + 1, static_cast<uint16_t>(i)});
  big.refs.push_back(ShardRef{0x3f});
  entries[11].hash = big.hash;
  entries[11].hash[31] ^= 1;
  if (auto st = binary_index::build(kx, entries); !st) die(st.error());
  auto index = binary_index::open(kx);
  if (!index || !*index) die(Error::msg("cannot open the split index"));
  if ((*index)->entry_count() <= entries.size()) die(Error::msg("the big key was not split"));
  for (const IndexEntry& e : entries) {
    auto found = binary_index::lookup_key(**index, e.hash);
    if (!found || *found != e.refs) die(Error::msg("a key did not come back whole"));
  }
  std::printf("split round trip: %u entries for %zu keys, all references back in order\n",
              (*index)->entry_count(), entries.size());
}

// Damages a copy of a small index in many ways and searches every key.
int fuzz(const std::string& dir) {
  std::mt19937_64 rng(7);
  const std::string kx = dir + "/fuzz";
  if (auto st = KxDir::init(kx); !st) die(st.error());
  check_split_round_trip(kx, rng);
  auto entries = random_entries(300, rng, true);
  entries[5].hash = entries[4].hash;  // a repeated key
  entries[7].hash[0] = entries[6].hash[0];
  if (auto st = binary_index::build(kx, entries); !st) die(st.error());
  if (auto st = binary_index::append_line_offsets(kx, kx + "/.kx/index.bin"); !st) die(st.error());
  const std::string path = binary_index::index_path(kx);
  auto good = read_whole_file(path);
  if (!good || !*good) die(Error::msg("cannot read the index"));
  const std::string original = **good;

  size_t opened = 0, errors = 0, refs = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string data = original;
    switch (round % 4) {
      case 0:  // flip random bytes
        for (int i = 0; i < 1 + static_cast<int>(rng() % 8); ++i) data[rng() % data.size()] ^= static_cast<char>(1 + rng() % 255);
        break;
      case 1:  // truncate
        data.resize(rng() % data.size());
        break;
      case 2: {  // overwrite a table slot or the table offset with a random value
        uint64_t t;
        std::memcpy(&t, data.data() + 16, 8);
        uint64_t v = rng() % (data.size() * 2);
        size_t at = (rng() % 8 == 0) ? 16 : t + 8 * (rng() % 256);
        std::memcpy(data.data() + at, &v, 8);
        break;
      }
      case 3: {  // a huge record length somewhere in the entries
        size_t at = 24 + rng() % (data.size() - 2072);
        data[at] = '\xff';
        data[at + 1] = '\xff';
        break;
      }
    }
    if (auto st = atomic_write(path, data); !st) die(st.error());
    auto index = binary_index::open(kx);
    if (!index || !*index) {
      ++errors;
      continue;
    }
    ++opened;
    for (const IndexEntry& e : entries) {
      auto found = binary_index::lookup_key(**index, e.hash);
      if (found) refs += found->size();
      else ++errors;
    }
    (void)(*index)->line_offsets();
  }
  std::printf("fuzz: %zu damaged files opened, %zu errors reported, %zu references decoded\n",
              opened, errors, refs);
  (void)remove_tree(kx);
  return 0;
}

// "10000,100000" -> {10000, 100000}
std::vector<size_t> parse_sizes(const std::string& text) {
  std::vector<size_t> sizes;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    sizes.push_back(std::stoull(text.substr(start, end - start)));
    start = end + 1;
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "bench";
  std::string dir = argc > 2 ? argv[2] : "/tmp";
  if (mode == "fuzz") return fuzz(dir);
  bool json = false;
  std::vector<size_t> sizes{10000, 100000, 1000000};
  for (int i = 3; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") json = true;
    else if (arg == "--sizes" && i + 1 < argc) sizes = parse_sizes(argv[++i]);
    else return 2;
  }
  return bench(dir, sizes, json);
}
