// Block-wise classification and rewrite of a data file; see purge_rewrite.h.
//
// Pipeline: three block buffers rotate.  While the pool classifies block k
// (compacting its kept lines in place and formatting archive records for its
// purged lines), one task of the same parallel loop writes block k-1 out and
// reads block k+1, whose first bytes are the unfinished last line of block
// k.  Classification never touches those bytes, so the two may overlap.
#include "purge_rewrite.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "fs.h"
#include "hash.h"
#include "json.h"
#include "json_tape.h"
#include "pool.h"
#include "purge_archive.h"

namespace kestrix {
namespace {

constexpr size_t kBlockSize = size_t{16} << 20;
constexpr size_t kHugePage = size_t{2} << 20;
// Slices per pool thread and block, so that uneven lines still balance.
constexpr size_t kSlicesPerThread = 8;

// A run of whole lines of a block handled by one task, and what it produced.
struct Slice {
  size_t begin = 0;
  size_t end = 0;      // just past a line feed
  size_t out_end = 0;  // kept lines now occupy [begin, out_end)
  uint64_t kept = 0;
  uint64_t purged = 0;
  std::string archive;  // archive records of the purged lines
};

// A buffer of file bytes.  [0, lines_end) holds whole lines, each ending in a
// line feed; [lines_end, size) is the start of a line continued in the next
// block.
struct Block {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char[], Free> data;
  size_t capacity = 0;
  size_t size = 0;
  size_t lines_end = 0;
  std::vector<Slice> slices;

  // Grows the buffer to at least `n` bytes, keeping [0, size).  Buffers are
  // aligned to and advised for huge pages: first touching a fresh buffer
  // page by page costs more than reading the file into it.
  bool reserve(size_t n) {
    if (n <= capacity) return true;
    const size_t rounded = (n + kHugePage - 1) / kHugePage * kHugePage;
    char* bigger = static_cast<char*>(std::aligned_alloc(kHugePage, rounded));
    if (bigger == nullptr) return false;
    (void)::madvise(bigger, rounded, MADV_HUGEPAGE);
    if (size > 0) std::memcpy(bigger, data.get(), size);
    data.reset(bigger);
    capacity = rounded;
    return true;
  }
  std::string_view tail() const { return {data.get() + lines_end, size - lines_end}; }
};

// Sequential reader of the data file in blocks of whole lines.
class BlockReader {
 public:
  BlockReader() = default;
  BlockReader(const BlockReader&) = delete;
  ~BlockReader() {
    if (fd_ >= 0) ::close(fd_);
  }

  // `size_hint` (the file's size) keeps the buffers of small files small.
  Status open(const std::string& path, uint64_t size_hint) {
    do fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return fail_errno();
    step_ = static_cast<size_t>(std::clamp<uint64_t>(size_hint, 64 << 10, kBlockSize));
    return {};
  }
  bool at_end() const { return eof_; }

  // Fills `block` with `carry` followed by about kBlockSize further bytes,
  // extended until it holds a whole line.  At the end of the file the last
  // line gets a line feed, so every line of a block ends in one.
  Status next(std::string_view carry, Block& block) {
    block.size = 0;
    size_t limit = carry.size() + step_;
    if (!block.reserve(limit + 1)) return fail(Error::os(ENOMEM));
    if (!carry.empty()) std::memcpy(block.data.get(), carry.data(), carry.size());
    block.size = carry.size();
    for (;;) {
      while (!eof_ && block.size < limit) {
        ssize_t n = ::read(fd_, block.data.get() + block.size, limit - block.size);
        if (n < 0) {
          if (errno == EINTR) continue;
          return fail_errno();
        }
        if (n == 0) eof_ = true;
        block.size += static_cast<size_t>(n);
      }
      if (eof_) {
        if (block.size > 0 && block.data[block.size - 1] != '\n') block.data[block.size++] = '\n';
        block.lines_end = block.size;
        return {};
      }
      const void* last = memrchr(block.data.get() + carry.size(), '\n', block.size - carry.size());
      if (last != nullptr) {
        block.lines_end = static_cast<size_t>(static_cast<const char*>(last) - block.data.get()) + 1;
        return {};
      }
      // A line longer than the block: read on until it ends.
      limit += step_;
      if (!block.reserve(limit + 1)) return fail(Error::os(ENOMEM));
    }
  }

 private:
  int fd_ = -1;
  bool eof_ = false;
  size_t step_ = kBlockSize;  // bytes to read per block beyond the carry
};

// Cuts [0, lines_end) into slices at line boundaries.
void split_block(Block& block) {
  block.slices.clear();
  const size_t n = pool_size() * kSlicesPerThread;
  const char* base = block.data.get();
  size_t begin = 0;
  for (size_t i = 1; i <= n && begin < block.lines_end; ++i) {
    size_t end = block.lines_end;
    if (i < n) {
      size_t target = block.lines_end / n * i;
      if (target <= begin) continue;
      const void* nl = std::memchr(base + target - 1, '\n', block.lines_end - (target - 1));
      end = static_cast<size_t>(static_cast<const char*>(nl) - base) + 1;
    }
    Slice slice;
    slice.begin = begin;
    slice.end = end;
    block.slices.push_back(std::move(slice));
    begin = end;
  }
}

// The revoked line hashes as SHA-256 digests.  Only lowercase 64-digit hex
// strings can equal a computed line hash; other strings are left out.  A
// bitmap of digest prefixes, small enough to stay in cache, answers most
// look-ups (lines that are not revoked) without touching the hash table.
class DigestSet {
 public:
  explicit DigestSet(const LineHashSet& hashes) {
    std::vector<Digest> digests;
    for (const std::string& h : hashes) {
      Digest d;
      bool lower = std::none_of(h.begin(), h.end(), [](char c) { return c >= 'A' && c <= 'F'; });
      if (lower && hex_to_bytes(h, d.data(), d.size())) digests.push_back(d);
    }
    size_t bits = 1 << 12;
    while (bits < digests.size() * 16) bits <<= 1;
    bit_mask_ = bits - 1;
    bitmap_.assign(bits / 64, 0);
    for (const Digest& d : digests) {
      const uint64_t bit = prefix(d.data()) & bit_mask_;
      bitmap_[bit >> 6] |= uint64_t{1} << (bit & 63);
      set_.insert(d);
    }
  }
  bool empty() const { return set_.empty(); }
  bool contains(const unsigned char* digest) const {
    const uint64_t bit = prefix(digest) & bit_mask_;
    if ((bitmap_[bit >> 6] & (uint64_t{1} << (bit & 63))) == 0) return false;
    Digest d;
    std::memcpy(d.data(), digest, d.size());
    return set_.contains(d);
  }

 private:
  using Digest = std::array<unsigned char, 32>;
  // Digest bytes are uniform, so their first eight bytes serve as a hash.
  static uint64_t prefix(const unsigned char* digest) {
    uint64_t v;
    std::memcpy(&v, digest, 8);
    return v;
  }
  struct DigestHash {
    size_t operator()(const Digest& d) const noexcept { return static_cast<size_t>(prefix(d.data())); }
  };
  std::unordered_set<Digest, DigestHash> set_;
  std::vector<uint64_t> bitmap_;
  uint64_t bit_mask_ = 0;
};

struct ClassifyContext {
  const DigestSet* revoked;
  bool rewrite;  // compact kept lines and format archive records
  std::string stamp;
};

// Decides every line of one slice.  Kept lines are moved down to the slice's
// write position (never past the bytes still to be read, since every line
// consumes at least as many bytes as it writes back).
void classify_slice(char* base, Slice& slice, const ClassifyContext& ctx) {
  thread_local JsonTape tape;
  std::string canonical;
  unsigned char digest[32];
  size_t write = slice.begin;
  size_t p = slice.begin;
  while (p < slice.end) {
    const char* nl = static_cast<const char*>(std::memchr(base + p, '\n', slice.end - p));
    size_t stop = static_cast<size_t>(nl - base);
    size_t line_end = stop;
    if (line_end > p && base[line_end - 1] == '\r') --line_end;
    const size_t len = line_end - p;
    if (len > 0) {
      std::string_view line(base + p, len);
      // The line hash: SHA-256 of the canonical text of the parsed line.
      bool purge = false;
      if (!ctx.revoked->empty() && tape.parse(line)) {
        canonical.clear();
        tape.write_canonical(canonical);
        sha256(canonical, digest);
        purge = ctx.revoked->contains(digest);
      }
      if (purge) {
        ++slice.purged;
        if (ctx.rewrite) append_archive_record(slice.archive, ctx.stamp, canonical);
      } else {
        ++slice.kept;
        if (ctx.rewrite) {
          if (write != p) std::memmove(base + write, base + p, len);
          base[write + len] = '\n';
          write += len + 1;
        }
      }
    }
    p = stop + 1;
  }
  slice.out_end = write;
}

// The output side of a purge: the temporary file and the archive, which is
// created when the first purged line reaches it.
struct PurgeOutput {
  const std::string* kx_dir;
  std::string stamp;
  std::optional<AtomicFile> temp;
  std::optional<PurgeArchive> archive;
  uint64_t archived = 0;

  Status write_block(const Block& block) {
    for (const Slice& slice : block.slices) {
      if (!slice.archive.empty()) {
        if (!archive) {
          KX_ASSIGN_OR_RETURN(PurgeArchive created, PurgeArchive::create(*kx_dir, stamp));
          archive.emplace(std::move(created));
        }
        KX_TRY(archive->write(slice.archive));
        archived += slice.purged;
      }
      if (slice.out_end > slice.begin)
        KX_TRY(temp->write({block.data.get() + slice.begin, slice.out_end - slice.begin}));
    }
    return {};
  }

  void discard_archive() {
    if (archive) archive->discard();
    archive.reset();
  }
};

// Runs the pipeline over the whole file.  `out` is null for a dry run.
Status classify_file(BlockReader& reader, const ClassifyContext& ctx, PurgeOutput* out,
                     PurgeStats& stats) {
  Block blocks[3];
  KX_TRY(reader.next({}, blocks[0]));
  Block* previous = nullptr;
  for (size_t k = 0;; ++k) {
    Block& current = blocks[k % 3];
    Block& following = blocks[(k + 1) % 3];
    const bool more = !reader.at_end();
    split_block(current);
    Status io;
    parallel_for(current.slices.size() + 1, [&](size_t i) {
      if (i > 0) {
        classify_slice(current.data.get(), current.slices[i - 1], ctx);
        return;
      }
      if (previous != nullptr && out != nullptr) io = out->write_block(*previous);
      if (io && more) io = reader.next(current.tail(), following);
    });
    KX_TRY(io);
    for (const Slice& slice : current.slices) {
      stats.kept += slice.kept;
      stats.purged += slice.purged;
    }
    previous = &current;
    if (!more) break;
  }
  if (out != nullptr) KX_TRY(out->write_block(*previous));
  return {};
}

}  // namespace

Result<PurgeStats> purge_data_file(const std::string& kx_dir, const std::string& data_file,
                                   const LineHashSet& revoked, bool dry_run) {
  auto info = stat_path(data_file);
  if (!info || info->size == 0) return fail_msg("data file not found: " + data_file);
  BlockReader reader;
  KX_TRY(reader.open(data_file, info->size));
  const DigestSet digests(revoked);
  ClassifyContext ctx{&digests, !dry_run, current_purge_stamp()};
  PurgeStats stats;
  if (dry_run) {
    KX_TRY(classify_file(reader, ctx, nullptr, stats));
    return stats;
  }
  PurgeOutput out{&kx_dir, ctx.stamp, std::nullopt, std::nullopt, 0};
  // Copies of this data file left by purges that were killed part-way.
  sweep_stale_temps(std::string(path_dirname(data_file)), path_basename(data_file));
  KX_ASSIGN_OR_RETURN(AtomicFile temp, AtomicFile::begin(data_file));
  out.temp.emplace(std::move(temp));
  Status st = classify_file(reader, ctx, &out, stats);
  if (st && out.archive) st = out.archive->close();
  if (st) st = out.temp->commit();
  if (!st) {
    out.discard_archive();
    return fail(std::move(st).error());
  }
  if (out.archive) KX_TRY(out.archive->log(out.archived));
  stats.archived = out.archived;
  return stats;
}

}  // namespace kestrix
