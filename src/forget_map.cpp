// The map of a forget set (forget_map.h).
#include "forget_map.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>

#include "bulk_blame.h"
#include "coding.h"
#include "fs.h"
#include "json.h"
#include "lib.h"
#include "token_index.h"

namespace kestrix {
namespace {

// Identities held per chunk: with their line numbers some 100 MB.
constexpr size_t kChunkEntries = size_t{1} << 20;

struct DigestHash {
  size_t operator()(const Digest& d) const {
    size_t h;
    std::memcpy(&h, d.data(), sizeof h);  // a content hash: its bytes are uniform
    return h;
  }
};

struct LineFound {
  uint64_t entries = 0;
  std::vector<uint64_t> lines;
};

using FileLines = std::unordered_map<Digest, LineFound, DigestHash>;

class Chunk {
 public:
  bool add(const std::string& file, const Digest& digest) {
    ++files_[file][digest].entries;
    return ++held_ >= kChunkEntries;
  }
  bool empty() const { return held_ == 0; }

  // Reads the chunk's data files and writes its rows, sorted, into `path`.
  Status write_run(const std::string& kx_dir, const std::string& path,
                   std::vector<std::string>& missing) {
    using Row = std::tuple<uint64_t, const Digest*, const LineFound*>;
    std::string text;
    for (auto& [file, found] : files_) {
      const std::string data_file = file.starts_with('/') ? file : path_join(kx_dir, file);
      Status hashed = hash_file_lines(data_file, [&](const BlamedLine& line) -> Status {
        auto it = found.find(line.hash);
        if (it != found.end()) it->second.lines.push_back(line.number);
        return {};
      });
      if (!hashed) missing.push_back(file);
      std::vector<Row> rows;
      rows.reserve(found.size());
      for (const auto& [digest, where] : found)
        rows.emplace_back(where.lines.empty() ? 0 : where.lines.front(), &digest, &where);
      std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return std::tie(std::get<0>(a), *std::get<1>(a)) < std::tie(std::get<0>(b), *std::get<1>(b));
      });
      for (const auto& [first, digest, where] : rows) {
        JsonWriter w(text);
        w.begin_object();
        w.key("entries").uint(where->entries);
        w.key("file").string(file);
        w.key("line_hash").string(bytes_to_hex(digest->data(), digest->size()));
        w.key("lines").begin_array();
        for (uint64_t n : where->lines) w.uint(n);
        w.end_array();
        w.end_object();
        text.push_back('\n');
      }
    }
    KX_TRY(atomic_write(path, text));
    files_.clear();
    held_ = 0;
    return {};
  }

 private:
  std::map<std::string, FileLines> files_;  // by file: runs are sorted by file first
  size_t held_ = 0;
};

}  // namespace

Result<ForgetMapRuns> forget_map_runs(const std::string& kx_dir, const std::string& tokenizer,
                                      std::string_view bitmask, const std::string& run_dir) {
  ForgetMapRuns out;
  Chunk chunk;
  Status status;
  uint64_t id = 0;
  auto flush = [&]() -> Status {
    const std::string path = path_join(run_dir, "run-" + std::to_string(out.runs.size()));
    KX_TRY(chunk.write_run(kx_dir, path, out.missing_files));
    out.runs.push_back(path);
    return {};
  };
  KX_TRY(token_index::for_each_merged_entry(kx_dir, tokenizer, [&](TokenIndexEntry&& entry) {
    const uint64_t i = id++;
    if (!status || i / 8 >= bitmask.size()) return;
    if (!((static_cast<unsigned char>(bitmask[i / 8]) >> (i % 8)) & 1)) return;
    auto digest = entry.has_identity() ? digest_from_hex(entry.line_hash, HexCase::kLower) : std::nullopt;
    if (!digest) {
      ++out.unmapped;
      return;
    }
    ++out.mapped;
    if (chunk.add(entry.file, *digest)) status = flush();
  }));
  KX_TRY(status);
  if (!chunk.empty()) KX_TRY(flush());
  std::sort(out.missing_files.begin(), out.missing_files.end());
  out.missing_files.erase(std::unique(out.missing_files.begin(), out.missing_files.end()),
                          out.missing_files.end());
  return out;
}

}  // namespace kestrix
