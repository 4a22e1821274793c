// Reading a data file in blocks of whole lines, for the passes that process
// every line of a file on the worker pool (purges, bulk tracking).
//
// A block is read with pread(2) in chunks that pool tasks may read in
// parallel with work on the previous block; the block then ends at a line
// end, and the start of an unfinished last line is carried into the next
// block.  At the end of the file the last line gets a line feed, so every
// line of a block ends in one; a line longer than a block is read on until
// it ends, up to max_line_bytes().  Memory stays bounded by a few blocks whatever the file's size
// (and the longest line).
//
// A gzip or zstd file (compression.h) is read the same way as its content:
// one task per block decompresses the next step of the stream, still in
// parallel with work on the previous block; positions are those of the
// content, and progress counts the compressed bytes read.  A table
// (table_files.h) is read likewise as its rows' lines, but on the calling
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compression.h"
#include "error.h"
#include "fs.h"

namespace kestrix {

// The longest line a data file may hold: a longer one fails the read
// rather than grow a block without end.  The environment variable
// KX_MAX_LINE_BYTES sets another bound (bytes, or with K, M or G).
inline constexpr uint64_t kDefaultMaxLine = uint64_t{256} << 20;
inline constexpr const char* kMaxLineVariable = "KX_MAX_LINE_BYTES";
Result<uint64_t> max_line_bytes();

// Bytes read per block beyond the carried line start.
inline constexpr size_t kDataBlockSize = size_t{8} << 20;

// A buffer of file bytes.  [0, lines_end) holds whole lines, each ending in
// a line feed; [lines_end, size) is the start of a line continued in the
// next block.
struct DataBlock {
  // Huge pages: first touching a fresh buffer page by page costs more than
  // reading the file into it.
  HugeBuffer buffer;
  size_t size = 0;
  size_t lines_end = 0;
  uint64_t file_offset = 0;  // where byte 0 of the block stands in the content
  // Where the reader added a line feed to a last line that had none, or
  // npos.
  size_t added_lf = std::string_view::npos;

  char* data() const { return buffer.data(); }
  std::string_view lines() const { return {data(), lines_end}; }
  // Grows the buffer to at least `n` bytes, keeping [0, size).
  bool reserve(size_t n) { return buffer.reserve(n, size); }
  std::string_view tail() const { return {data() + lines_end, size - lines_end}; }
  // [begin, end) ranges of whole lines that cut [0, lines_end) into about
  // as many slices as the pool balances well.
  std::vector<std::pair<size_t, size_t>> slice_bounds() const;
};

// How a file is read: a gzip or zstd file as its content, or every file as
// its bytes (store files, which are never compressed).
enum class ReadAs { kContent, kBytes };

// Reads the data file in blocks of whole lines: begin() on the calling
// thread, read_chunk() for every chunk from pool tasks, finish() on the
// calling thread again.  Reports the bytes read to progress_add().
class BlockReader {
 public:
  // `size_hint` (the file's size) keeps the buffers of small files small.
  Status open(const std::string& path, uint64_t size_hint, ReadAs read_as = ReadAs::kContent);
  bool at_end() const { return eof_; }
  // Offset in the content of the next byte to read.
  uint64_t position() const { return pos_; }
  Compression compression() const { return format_; }
  // The file as it was when opened: what a writer replacing it must find
  // unchanged.
  const FileInfo& opened() const { return opened_; }
  // Whether a block is read by one task that decompresses the stream.
  bool reads_stream() const { return stream_ && stream_->reads_on_pool(); }

  // Once the file has been replaced, freeing its cached pages and blocks
  // need not hold up the caller.
  void close_in_background() {
    kestrix::close_in_background(std::move(fd_));
    stream_.reset();
  }

  // Starts `block` with `carry` (the previous block's tail) and room for
  // the next step of the file.
  Status begin(std::string_view carry, DataBlock& block);
  size_t chunk_count() const { return got_.size(); }
  // Reads chunk `i` of the block begun last; safe to call for different
  // chunks from several threads.
  Status read_chunk(DataBlock& block, size_t i);
  // Takes the chunks up to the first short one (the end of the file) and
  // makes the block end at a line end.
  Status finish(DataBlock& block);

 private:
  // Up to `len` bytes of content at `pos_ + offset` (a decompressor reads
  // only onwards from where it stands); fewer only at the end.
  Result<size_t> read_content(char* out, size_t len, uint64_t offset);
  // Bytes of the file read since the last call.
  uint64_t file_bytes_read(uint64_t from);
  // Fails for a whole line of `block` longer than max_line_.
  Status check_line_lengths(const DataBlock& block) const;
  Status line_too_long(uint64_t at) const;
  // Bytes chunk `i` of a block reads unless the content ends first.
  size_t chunk_length(size_t i) const;

  UniqueFd fd_;
  std::string path_;
  uint64_t max_line_ = kDefaultMaxLine;
  FileInfo opened_{};
  Compression format_ = Compression::kNone;
  std::unique_ptr<ContentStream> stream_;  // for a compressed file or a table
  uint64_t reported_ = 0;  // compressed bytes reported to progress_add()
  uint64_t pos_ = 0;  // content offset of the next block's first new byte
  bool eof_ = false;
  size_t step_ = kDataBlockSize;  // bytes to read per block beyond the carry
  std::vector<size_t> got_;       // bytes read by each chunk of the current block
};

// A pass over every line of a file on the pool: the work on the slices of
// one block shares each parallel loop with reading the next block, so that
// reading overlaps working.  Two blocks are held at a time; a pipeline
// started again on another file reuses their memory.
class BlockPipeline {
 public:
  using Work = std::function<void(std::string_view lines, std::pair<size_t, size_t> run, size_t slice)>;

  // Reads the first block of the file `reader` has open.
  Status start(BlockReader& reader);
  // Slices of the current block (what the next call of next() works on).
  size_t slice_count() const { return runs_.size(); }
  // Runs work(lines, run, i) for every slice i of the current block, where
  // [run.first, run.second) of `lines` are its whole lines, while reading
  // the next block, which then becomes the current one.  False when the
  // block worked on was the last one.  A failed read ends the pass with the
  // reader's error.
  Result<bool> next(const Work& work);

 private:
  BlockReader* reader_ = nullptr;
  DataBlock blocks_[2];
  size_t current_ = 0;
  std::vector<std::pair<size_t, size_t>> runs_;
};

}  // namespace kestrix
