// Micro-benchmark of the binary token index, with self-checks of the parts
// no Python function reaches (set_revoked_batch and its refusals).
//
//   cmake -S . -B build/bench -DKX_BUILD_BENCH=ON && cmake --build build/bench
//   build/bench/token_bin_index_bench [entries]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "fs.h"
#include "hash.h"
#include "lib.h"
#include "token_bin_index.h"
#include "token_index.h"

using namespace kestrix;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::exit(1);
  }
}

template <typename T>
T must(Result<T> r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().outermost().c_str());
    std::exit(1);
  }
  return std::move(*r);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t entries = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  const size_t sections = 10000, files = 10;
  char tmpl[] = "/tmp/kx-token-bench-XXXXXX";
  const std::string kx_dir = mkdtemp(tmpl);
  check(static_cast<bool>(KxDir::init(kx_dir)), "init");

  std::vector<std::string> hashes;
  for (size_t i = 0; i < sections; ++i) hashes.push_back(sha256_hex(std::to_string(i)));
  std::mt19937_64 rng(7);
  const std::string merged = store_path(kx_dir, "token-index.bench");
  check(static_cast<bool>(create_dirs(merged)), "merged dir");
  for (size_t f = 0; f < files; ++f) {
    std::string text;
    for (size_t i = 0; i < entries / files; ++i) {
      TokenIndexEntry e{rng() % 500, {hashes[rng() % sections]}, "bench", false};
      append_token_entry_line(text, e);
      text += '\n';
    }
    char name[16];
    std::snprintf(name, sizeof name, "%03zu", f + 1);
    check(static_cast<bool>(atomic_write(path_join(merged, name), text)), "write merged");
  }

  auto t = std::chrono::steady_clock::now();
  auto stats = must(token_bin_index::build_binary_index(kx_dir, "bench"), "build");
  std::printf("build                  %8.1f ms  (%u entries, %u sources)\n",
              seconds_since(t) * 1000, stats.entries, stats.sources);

  auto index = must(TokenBinIndex::open(kx_dir, "bench"), "open");
  check(index.has_value() && index->is_fresh(), "fresh after build");

  // Lookups of one present source each: cost per lookup.
  std::vector<std::set<Digest>> queries;
  for (size_t i = 0; i < 1000; ++i) queries.push_back({*digest_from_hex(hashes[rng() % sections])});
  size_t found = 0, rounds = 200;
  t = std::chrono::steady_clock::now();
  for (size_t r = 0; r < rounds; ++r)
    for (const auto& q : queries) found += index->lookup_by_sources(q).size();
  double per = seconds_since(t) / double(rounds * queries.size());
  std::printf("lookup_by_sources      %8.2f us per source  (%.0f ids each)\n", per * 1e6,
              double(found) / double(rounds * queries.size()));

  // Revoke the entries of 100 sections in place.
  std::set<Digest> hundred;
  for (size_t i = 0; i < 100; ++i) hundred.insert(*digest_from_hex(hashes[i]));
  auto ids = index->lookup_by_sources(hundred);
  std::vector<std::pair<uint32_t, bool>> updates;
  for (uint32_t id : ids) updates.emplace_back(id, true);
  updates.emplace_back(index->entry_count(), true);  // past the end: ignored
  t = std::chrono::steady_clock::now();
  check(static_cast<bool>(index->set_revoked_batch(updates)), "set_revoked_batch");
  std::printf("set_revoked_batch      %8.1f ms  (%zu entries, synchronous flush)\n",
              seconds_since(t) * 1000, ids.size());

  auto reopened = must(TokenBinIndex::open(kx_dir, "bench"), "reopen");
  std::string bits = reopened->generate_forget_set();
  size_t set = 0;
  for (unsigned char b : bits) set += static_cast<size_t>(__builtin_popcount(b));
  check(set == ids.size(), "forget set holds exactly the revoked entries");
  for (uint32_t id : ids) check(reopened->get_entry_ref(id)->revoked, "revoked byte set");
  check(!reopened->get_entry_ref(reopened->entry_count()), "no ref past the end");

  // A rebuilt file must not be written with ids of the old one.
  must(token_bin_index::build_binary_index(kx_dir, "bench"), "rebuild");
  check(!index->set_revoked_batch({{0, true}}), "write to a replaced index refused");

  check(static_cast<bool>(remove_tree(kx_dir)), "cleanup");
  std::printf("checks ok\n");
  return 0;
}
