// Block-wise classification and rewrite of a data file; see purge_rewrite.h.
//
// Pipeline: three block buffers rotate.  One parallel loop per block k does
// all the work there is at that moment, spread over the pool: it classifies
// the lines of block k (noting the runs of kept lines and formatting archive
// records for purged ones), appends the archive records of block k-1, and
// reads block k+1 in chunks (data_blocks.h).  Meanwhile the kept lines of
// block k-1 are written to the temporary file on a thread of their own (with
// direct I/O that thread mostly waits for the device).  Block k+1 starts with
// the unfinished last line of block k, which classification never touches,
// so all of this may overlap.
#include "purge_rewrite.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "coding.h"
#include "data_blocks.h"
#include "fs.h"
#include "hash.h"
#include "hash_tables.h"
#include "json.h"
#include "json_tape.h"
#include "mmap_lines.h"
#include "pool.h"
#include "purge_archive.h"
#include "purge_exact.h"
#include "table_files.h"

namespace kestrix {
namespace {

// A run of whole lines of a block handled by one task, and what it produced.
struct Slice {
  size_t begin = 0;
  size_t end = 0;         // just past a line feed
  // The kept lines as runs of bytes [first, second) of the block, each line
  // ending in a line feed.
  std::vector<std::pair<size_t, size_t>> kept_runs;
  uint64_t kept = 0;
  uint64_t purged = 0;
  bool holds_nul = false;  // a line holds a NUL byte: the file is not text
  std::string archive;     // archive records of the purged lines
  // Exact mode: the raw lines (blank ones too), the index of the first in
  // the file, and per purged line its index among the slice's lines and
  // where the rest of its undo record starts in `undo`.
  uint64_t lines = 0;
  uint64_t first_line = 0;
  std::vector<std::pair<uint64_t, size_t>> removed;
  std::string undo;
};

// A block of the data file and what the tasks over its slices produced.
struct Block : DataBlock {
  std::vector<Slice> slices;
};

// Cuts the block's whole lines into slices.
void split_block(Block& block) {
  block.slices.clear();
  for (auto [begin, end] : block.slice_bounds()) {
    Slice slice;
    slice.begin = begin;
    slice.end = end;
    block.slices.push_back(std::move(slice));
  }
}

// The name of the compressed format that purges cannot read whose magic
// bytes begin `head`, or nullptr for anything else (gzip, zstd and Parquet
// are read as their content).
const char* binary_format_of(std::string_view head) {
  static constexpr struct {
    std::string_view magic;
    const char* name;
  } kFormats[] = {
      {"BZh", "bzip2"},
      {{"\xfd" "7zXZ\0", 6}, "xz"},
  };
  for (const auto& format : kFormats)
    if (head.starts_with(format.magic)) return format.name;
  return nullptr;
}

Status fail_not_line_text(const std::string& data_file, std::string_view why) {
  return fail_msg("data file " + quote_path(data_file) + " " + std::string(why) +
                  ": it is not line text, and a purge would damage it; nothing was changed");
}

// The revoked line hashes as SHA-256 digests.  Only lowercase 64-digit hex
// strings can equal a computed line hash; other strings are left out.
class DigestSet {
 public:
  explicit DigestSet(const std::vector<std::string>& hashes) {
    const std::vector<Digest> digests = decode(hashes);
    set_.reserve(digests.size());
    set_.insert(digests.begin(), digests.end());
  }
  bool empty() const { return set_.empty(); }
  bool contains(const Digest& digest) const { return set_.contains(digest); }

 private:
  // The digests of the hashes that can be line hashes, decoded on the pool.
  static std::vector<Digest> decode(const std::vector<std::string>& hashes) {
    constexpr size_t kChunk = 4096;
    std::vector<Digest> digests(hashes.size());
    std::vector<char> valid(hashes.size());
    parallel_for((hashes.size() + kChunk - 1) / kChunk, [&](size_t c) {
      for (size_t i = c * kChunk; i < std::min(hashes.size(), (c + 1) * kChunk); ++i)
        valid[i] = hex_to_bytes(hashes[i], digests[i].data(), digests[i].size(), HexCase::kLower);
    });
    size_t kept = 0;
    for (size_t i = 0; i < digests.size(); ++i)
      if (valid[i]) digests[kept++] = digests[i];
    digests.resize(kept);
    return digests;
  }

  FlatSet<Digest> set_;
};

struct ClassifyContext {
  std::string data_file;
  const DigestSet* revoked;
  PurgeMode mode;
  std::string stamp;
};

// Decides every line of one slice; `added_lf` is Block::added_lf.  In the
// normal mode a kept line's end ("\n" or "\r\n") is made a single line feed
// in place, and consecutive kept lines that end in a plain line feed join
// one run; in the exact mode the runs are the bytes between purged lines,
// blank lines included.
void classify_slice(char* base, Slice& slice, const ClassifyContext& ctx, size_t added_lf) {
  thread_local JsonTape tape;
  struct Pending {
    size_t at = 0;
    size_t len = 0;
    size_t raw_len = 0;  // with a carriage return
    uint64_t index = 0;  // among the slice's raw lines
  };
  std::string canonical;
  auto& runs = slice.kept_runs;
  runs.clear();
  const bool exact = ctx.mode == PurgeMode::kExact;
  size_t run_from = slice.begin;  // exact: where the current run began
  auto note_purged = [&](const Pending& line) {
    canonical.clear();
    tape.write_canonical(canonical);
    append_archive_record(slice.archive, ctx.stamp, canonical);
    if (!exact) return;
    if (line.at > run_from) runs.emplace_back(run_from, line.at);
    run_from = line.at + line.raw_len + 1;
    slice.removed.emplace_back(line.index, slice.undo.size());
    append_removed_line_rest(slice.undo, {base + line.at, line.raw_len},
                             line.at + line.raw_len != added_lf);
  };
  auto note_kept = [&](const Pending& line) {
    if (exact) return;
    base[line.at + line.len] = '\n';
    if (runs.empty() || runs.back().second != line.at) runs.emplace_back(line.at, line.at);
    runs.back().second = line.at + line.len + 1;
  };
  LineCursor cursor(std::string_view(base, slice.end), slice.begin, slice.end);
  for (Line text; cursor.next(text);) {
    const Pending line{text.offset, text.text.size(), text.raw_length, cursor.raw_lines() - 1};
    // The line hash: SHA-256 of the canonical text of the parsed line.
    bool hashed = !ctx.revoked->empty() && tape.parse(text.text, JsonTape::Target::kCanonical);
    Digest digest;
    if (hashed) {
      sha256_canonical(tape, digest.data());
      // A hash that other lines share says nothing of this line's own
      // sources: it never removes the line.
      hashed = tape.ambiguity() == JsonTape::Ambiguity::kNone;
    } else if (std::memchr(text.text.data(), '\0', line.len) != nullptr) {
      // JSON text never holds a NUL byte, so only lines that were not
      // hashed need the look.
      slice.holds_nul = true;
    }
    if (hashed && ctx.revoked->contains(digest)) {
      ++slice.purged;
      if (ctx.mode != PurgeMode::kDryRun) note_purged(line);
    } else {
      ++slice.kept;
      if (ctx.mode != PurgeMode::kDryRun) note_kept(line);
    }
  }
  slice.lines = cursor.raw_lines();
  if (exact && run_from < std::min(slice.end, added_lf))
    runs.emplace_back(run_from, std::min(slice.end, added_lf));
}

// How the data file changed since `read` was taken of it, in words; empty
// when it did not.
std::string change_since(const FileInfo& read, const std::optional<FileInfo>& now) {
  if (!now) return "it was removed";
  if (now->device != read.device || now->inode != read.inode) return "another file was put in its place";
  if (now->size != read.size)
    return "its size went from " + std::to_string(read.size) + " to " + std::to_string(now->size) + " bytes";
  if (now->mtime_ns != read.mtime_ns) return "it was written to";
  return {};
}

// Appends what was appended to the file `displaced` after `read` was taken
// of it to the file that replaced it at `target`, as it was written.
Status carry_appended(const std::string& displaced, const FileInfo& read, const FileInfo& now,
                      const std::string& target) {
  UniqueFd from(open_retry(displaced.c_str(), O_RDONLY));
  if (from.get() < 0) return fail_errno(displaced);
  KX_ASSIGN_OR_RETURN(FileWriter to, FileWriter::append(target, false));
  // Read and written rather than copied in the kernel, which refuses a
  // target open for appending.
  std::string piece(std::min<uint64_t>(now.size - read.size, 1 << 20), '\0');
  for (uint64_t at = read.size; at < now.size;) {
    KX_ASSIGN_OR_RETURN(size_t got, read_at(from.get(), piece.data(),
                                            std::min<uint64_t>(piece.size(), now.size - at), at));
    if (got == 0) break;
    KX_TRY(to.write(std::string_view(piece.data(), got)));
    at += got;
  }
  return to.close();
}

// The check a purge's replacement of the data file passes (see
// AtomicFile::commit_checked): the file must be the one read, unchanged.
// Bytes appended to it at the last moment, after the check and before the
// swap, are carried over to the new file; a file put in its place then is
// put back.  `change` tells what happened when the check fails.
AtomicFile::CommitCheck unchanged_check(const FileInfo& read, const std::string& target,
                                        std::string& change) {
  return [&read, &target, &change](const std::string& path, bool displaced) -> Status {
    const auto now = stat_path(path);
    change = change_since(read, now);
    if (change.empty()) return {};
    if (displaced && now->inode == read.inode && now->device == read.device && now->size > read.size) {
      change.clear();
      return carry_appended(path, read, *now, target);
    }
    return fail_msg(change);
  };
}

// The output side of a purge: the temporary file, written through a
// descriptor of its own, and the archive (in the exact mode with its undo
// record), created when the first purged line reaches it.
class PurgeOutput {
 public:
  PurgeOutput(const std::string& kx_dir, const std::string& data_file, std::string stamp,
              bool exact)
      : kx_dir_(kx_dir), data_file_(data_file), stamp_(std::move(stamp)), exact_(exact) {}
  PurgeOutput(const PurgeOutput&) = delete;

  // The kept lines go to the temporary file through a DirectWriter: with
  // direct I/O for files larger than a block, through a staging buffer of a
  // few MB (enough to keep the device streaming, small for a small file).
  // The temporary file gets the data file's size allocated up front (where
  // the file system can): written into allocated blocks, it has no delayed
  // allocation left for the file system to flush, on one thread, when it
  // replaces the data file.  commit() cuts it to what was written.
  // A compressed data file is written in its own format, at `level`.
  Status begin(uint64_t data_size, Compression format, int level) {
    constexpr uint64_t kStagingMax = uint64_t{4} << 20;
    table_ = format == Compression::kParquet;
    if (table_) {
      // The table's provider writes the temporary file at commit().
      KX_ASSIGN_OR_RETURN(AtomicFile temp, AtomicFile::begin(data_file_));
      temp_.emplace(std::move(temp));
      return {};
    }
    if (format != Compression::kNone) {
      KX_ASSIGN_OR_RETURN(compressor_, Compressor::create(format, level, data_file_));
    }
    KX_ASSIGN_OR_RETURN(AtomicFile temp, AtomicFile::begin(data_file_));
    temp_.emplace(std::move(temp));
    const auto staging = static_cast<size_t>(std::min(data_size + 1, kStagingMax));
    KX_TRY(kept_.open(temp_->tmp_path(), data_size > kDataBlockSize, staging, data_file_));
    kept_.preallocate(data_size);
    return {};
  }

  // Appends the kept lines of a block; blocks must come in order.  In the
  // exact mode they are also hashed: the undo can then tell whether the
  // file is still the one written here (a table's kept rows are only
  // hashed: they are the lines the new table reads as).
  Status write_kept(const Block& block) {
    for (const Slice& slice : block.slices)
      for (auto [first, end] : slice.kept_runs) {
        const std::string_view run(block.data() + first, end - first);
        if (exact_) written_.update(run);
        if (!table_) KX_TRY(compressor_ ? compressor_->write(run) : kept_.append(run));
      }
    if (table_) return {};
    KX_TRY(drain_compressed());
    return kept_.flush_blocks();
  }

  // Appends the archive records (and undo records) of a block; blocks must
  // come in order, after their stats were counted.
  Status write_archive(const Block& block) {
    for (const Slice& slice : block.slices) {
      if (slice.archive.empty()) continue;
      if (!archive_) {
        KX_ASSIGN_OR_RETURN(PurgeArchive created, PurgeArchive::create(kx_dir_, stamp_));
        archive_.emplace(std::move(created));
        if (exact_) {
          KX_ASSIGN_OR_RETURN(UndoRecordWriter undo, UndoRecordWriter::create(kx_dir_, data_file_));
          undo_.emplace(std::move(undo));
        }
      }
      KX_TRY(archive_->write(slice.archive));
      if (undo_) KX_TRY(undo_->write(undo_records(slice)));
      if (table_)
        for (auto [index, from] : slice.removed) removed_rows_.push_back(slice.first_line + index);
      archived_ += slice.purged;
    }
    return {};
  }

  // Completes the archive and its undo record (given the lines and bytes
  // the data file had), then replaces the data file and logs the archive.
  // On failure the archive is removed again and the data file stays.
  // The data file must still be as `read` found it (see
  // unchanged_check()); when it is not, `change` says how.
  Result<uint64_t> commit(uint64_t lines, uint64_t bytes, const FileInfo& read, std::string& change) {
    if (exact_ && !archive_) {
      // Nothing was removed: the file stays as it is, and the temporary
      // file goes with temp_.
      (void)kept_.close();
      return 0;
    }
    const AtomicFile::CommitCheck check = unchanged_check(read, temp_->target(), change);
    if (table_) return commit_table(lines, bytes, check);
    Status st = compressor_ ? compressor_->finish() : Status{};
    if (st) st = drain_compressed();
    if (st) st = kept_.finish();
    if (st && archive_) st = archive_->close();
    if (st && undo_) st = undo_->publish(archive_->path(), {written_.finish_hex(), lines, bytes});
    if (st) st = kept_.close();
    if (st) st = temp_->commit_checked(check);
    if (!st) {
      discard_archive();
      return fail(std::move(st).error());
    }
    if (!archive_) return archived_;
    return log_archive();
  }

  // commit() for a table: the provider writes the kept rows to the
  // temporary file and the removed ones beside the undo record.
  Result<uint64_t> commit_table(uint64_t lines, uint64_t bytes, const AtomicFile::CommitCheck& check) {
    Status st = archive_->close();
    if (st) {
      const std::string rows = undo_->table_rows_path(archive_->path());
      auto provider = table_provider(data_file_);
      st = provider ? (*provider)->remove_rows(data_file_, removed_rows_, temp_->tmp_path(), rows)
                    : Status(fail(std::move(provider).error()));
    }
    if (st) st = undo_->publish(archive_->path(), {written_.finish_hex(), lines, bytes});
    if (st) st = temp_->commit_checked(check);
    if (!st) {
      discard_archive();
      return fail(std::move(st).error());
    }
    return log_archive();
  }

  // Logs the archive once the data file was replaced.
  Result<uint64_t> log_archive() {
    Status logged = archive_->log(archived_);
    if (!logged) return fail(purged_but_not_logged(std::move(logged).error(), data_file_, archived_));
    return archived_;
  }

  void discard_archive() {
    if (undo_) undo_->discard();
    undo_.reset();
    if (archive_) archive_->discard();
    archive_.reset();
  }

 private:
  // The undo records of a slice's purged lines, now that the index of its
  // first line is known.
  static std::string undo_records(const Slice& slice) {
    std::string out;
    out.reserve(slice.undo.size() + slice.removed.size() * 16);
    for (size_t i = 0; i < slice.removed.size(); ++i) {
      const auto [index, from] = slice.removed[i];
      const size_t to = i + 1 < slice.removed.size() ? slice.removed[i + 1].second : slice.undo.size();
      append_removed_line_head(out, slice.first_line + index);
      out.append(slice.undo, from, to - from);
    }
    return out;
  }

  // Appends what the compressor has produced to the temporary file.
  Status drain_compressed() {
    if (!compressor_) return {};
    KX_TRY(kept_.append(compressor_->output()));
    compressor_->clear_output();
    return {};
  }

  const std::string& kx_dir_;
  const std::string& data_file_;
  std::string stamp_;
  bool exact_;
  bool table_ = false;  // a table: only exact purges read one
  std::vector<uint64_t> removed_rows_;  // a table's, ascending
  std::optional<AtomicFile> temp_;
  std::unique_ptr<Compressor> compressor_;  // for a compressed data file
  DirectWriter kept_;
  std::optional<PurgeArchive> archive_;
  std::optional<UndoRecordWriter> undo_;
  Sha256 written_;  // exact mode: of the kept bytes
  uint64_t archived_ = 0;
};

// Runs `tasks` on the pool; each returns a status.  The first failure in
// task order is returned.
Status run_tasks(const std::vector<std::function<Status()>>& tasks) {
  std::vector<Status> results(tasks.size());
  parallel_for(tasks.size(), [&](size_t i) { results[i] = tasks[i](); });
  for (Status& st : results) KX_TRY(st);
  return {};
}

// Runs the pipeline over the whole file.  `out` is null for a dry run.
// `lines` counts the file's raw lines, blank ones included.
Status classify_file(BlockReader& reader, const ClassifyContext& ctx, PurgeOutput* out,
                     PurgeStats& stats, uint64_t& lines) {
  Block blocks[3];
  std::vector<std::function<Status()>> tasks;
  auto add_reads = [&](Block& block) {
    for (size_t i = 0; i < reader.chunk_count(); ++i)
      tasks.push_back([&reader, &block, i] { return reader.read_chunk(block, i); });
  };
  // The kept lines of the previous block, being written on a thread of
  // their own while the pool goes on.  Declared after the blocks, so that
  // leaving early waits for it before their buffers are freed.
  std::future<Status> kept_write;
  auto write_kept = [&](const Block& block) -> Status {
    if (kept_write.valid()) KX_TRY(kept_write.get());
    try {
      kept_write = std::async(std::launch::async, [out, &block] { return out->write_kept(block); });
      return {};
    } catch (const std::system_error&) {
      return out->write_kept(block);
    }
  };

  KX_TRY(reader.begin({}, blocks[0]));
  add_reads(blocks[0]);
  KX_TRY(run_tasks(tasks));
  KX_TRY(reader.finish(blocks[0]));
  Block* previous = nullptr;
  for (size_t k = 0;; ++k) {
    Block& current = blocks[k % 3];
    Block& following = blocks[(k + 1) % 3];
    const bool more = !reader.at_end();
    split_block(current);
    tasks.clear();
    // Also waits for the write of block k-2, whose buffer is read into next.
    if (previous != nullptr && out != nullptr) {
      KX_TRY(write_kept(*previous));
      tasks.push_back([out, previous] { return out->write_archive(*previous); });
    }
    if (more) {
      KX_TRY(reader.begin(current.tail(), following));
      add_reads(following);
    }
    for (Slice& slice : current.slices)
      tasks.push_back([&current, &slice, &ctx]() -> Status {
        classify_slice(current.data(), slice, ctx, current.added_lf);
        return {};
      });
    KX_TRY(run_tasks(tasks));
    if (more) KX_TRY(reader.finish(following));
    for (Slice& slice : current.slices) {
      if (slice.holds_nul) return fail_not_line_text(ctx.data_file, "holds NUL bytes");
      stats.kept += slice.kept;
      stats.purged += slice.purged;
      slice.first_line = lines;
      lines += slice.lines;
    }
    previous = &current;
    if (!more) break;
  }
  if (out != nullptr) {
    KX_TRY(write_kept(*previous));
    KX_TRY(out->write_archive(*previous));
    KX_TRY(kept_write.get());
  }
  return {};
}

// How many times a purge reads a data file that keeps changing under it
// before it gives up.
constexpr int kPurgeAttempts = 3;

// One attempt of purge_data_file; on a failure because the data file
// changed meanwhile, `change` says how.
Result<PurgeStats> purge_once(const std::string& kx_dir, const std::string& data_file,
                              const std::vector<std::string>& revoked, PurgeMode mode,
                              const CompressedFiles& compressed, std::string& change) {
  auto info = stat_path(data_file);
  if (!info || info->size == 0) return fail_msg("data file not found: " + data_file);
  KX_TRY(check_line_text(data_file, false, compressed.read));
  BlockReader reader;
  KX_TRY(reader.open(data_file, info->size));
  const DigestSet digests(revoked);
  ClassifyContext ctx{data_file, &digests, mode, current_purge_stamp()};
  PurgeStats stats;
  uint64_t lines = 0;
  if (mode == PurgeMode::kDryRun) {
    KX_TRY(classify_file(reader, ctx, nullptr, stats, lines));
    return stats;
  }
  PurgeOutput out(kx_dir, data_file, ctx.stamp, mode == PurgeMode::kExact);
  const Compression format = reader.compression();
  KX_TRY(out.begin(info->size, format, compressed.level.value_or(default_level(format))));
  Status st = classify_file(reader, ctx, &out, stats, lines);
  if (!st) {
    out.discard_archive();
    return fail(std::move(st).error());
  }
  KX_ASSIGN_OR_RETURN(stats.archived,
                      out.commit(lines, reader.position(), reader.opened(), change));
  reader.close_in_background();
  return stats;
}

}  // namespace

Error purged_but_not_logged(Error log_failure, const std::string& data_file, uint64_t purged) {
  std::string where;
  if (!log_failure.path().empty()) where = " " + quote_path(log_failure.path());
  return Error::msg("data file " + quote_path(data_file) + " was purged (" + std::to_string(purged) +
                    " lines removed, kept in the purge archive), but the operation log" + where +
                    " could not be written: " + log_failure.outermost())
      .about(data_file);
}

Result<DataFileEdit> DataFileEdit::begin(const std::string& data_file, std::optional<int> level) {
  KX_ASSIGN_OR_RETURN(Compression format, file_compression(data_file));
  if (format == Compression::kParquet)
    return fail(Error::msg("data file " + quote_path(data_file) +
                           " is a Parquet table: lines cannot be written into it")
                    .about(data_file));
  std::unique_ptr<Compressor> compressor;
  if (format != Compression::kNone) {
    KX_ASSIGN_OR_RETURN(compressor,
                        Compressor::create(format, level.value_or(default_level(format)), data_file));
  }
  KX_ASSIGN_OR_RETURN(AtomicFile out, AtomicFile::begin(data_file));
  return DataFileEdit(data_file, std::move(out), std::move(compressor));
}

Result<bool> DataFileEdit::read(const std::function<Status(std::string_view)>& sink) const {
  return stream_content(data_file_, sink, true);
}

Status DataFileEdit::write(std::string_view bytes) {
  if (!compressor_) return out_.write(bytes);
  KX_TRY(compressor_->write(bytes));
  return drain();
}

Status DataFileEdit::drain() {
  KX_TRY(out_.write(compressor_->output()));
  compressor_->clear_output();
  return {};
}

Status DataFileEdit::commit() {
  if (compressor_) {
    KX_TRY(compressor_->finish());
    KX_TRY(drain());
  }
  return out_.commit();
}

Status check_line_text(const std::string& data_file, bool scan_for_nul, bool read_compressed) {
  KX_ASSIGN_OR_RETURN(std::optional<RangeReader> file, RangeReader::open(data_file));
  if (!file) return {};
  std::string head;
  KX_TRY(file->read_at(0, 8, head));
  if (const char* format = binary_format_of(head))
    return fail_not_line_text(data_file, std::string("is ") + format + " data");
  if (const Compression format = compression_of(head); format != Compression::kNone && !read_compressed)
    return fail_not_line_text(data_file, "is " + std::string(compression_name(format)) + " data");
  if (!scan_for_nul) return {};
  bool nul = false;
  KX_TRY(stream_content(data_file, [&](std::string_view piece) -> Status {
    nul = nul || std::memchr(piece.data(), '\0', piece.size()) != nullptr;
    return {};
  }));
  if (nul) return fail_not_line_text(data_file, "holds NUL bytes");
  return {};
}

Result<PurgeStats> purge_data_file(const std::string& kx_dir, const std::string& data_file,
                                   const std::vector<std::string>& revoked, PurgeMode mode,
                                   const CompressedFiles& compressed) {
  // A writer may append to the data file, or put a new version in its
  // place, while it is read: the purge then starts again on what is there.
  for (int attempt = 1;; ++attempt) {
    std::string change;
    auto stats = purge_once(kx_dir, data_file, revoked, mode, compressed, change);
    if (stats || change.empty()) return stats;
    if (attempt == kPurgeAttempts)
      return fail(Error::msg("data file " + quote_path(data_file) + " changed while it was purged (" +
                             change + "), " + std::to_string(kPurgeAttempts) +
                             " times; nothing was changed: purge it once its writers have paused")
                      .about(data_file));
  }
}

}  // namespace kestrix
