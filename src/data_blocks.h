// A data file read in blocks of whole lines, for the passes that handle
// every line of a data file whatever its size (the purges, bulk blame).
//
// BlockReader reads the file with pread(2) into DataBlocks: a block holds
// whole lines, each ending in a line feed (the last line of the file gets
// one), followed by the start of a line that the next block continues.  A
// block is read as several chunks, so that the reads of block k+1 can run as
// pool tasks beside the work on block k; memory stays bounded by a few
// blocks.  A line longer than a block is read on until it ends.  Progress
// (progress.h) counts the bytes read.  Not thread-safe except read_chunk(),
// which tasks may run at once for distinct chunks of one block.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "fs.h"

namespace kestrix {

// The largest step a block reads beyond the line it carries over.
constexpr size_t kDataBlockSize = size_t{8} << 20;

// A buffer of file bytes.  [0, lines_end) holds whole lines, each ending in a
// line feed; [lines_end, size) is the start of a line continued in the next
// block.
struct DataBlock {
  // Huge pages: first touching a fresh buffer page by page costs more than
  // reading the file into it.
  HugeBuffer buffer;
  size_t size = 0;
  size_t lines_end = 0;

  char* data() const { return buffer.data(); }
  // Grows the buffer to at least `n` bytes, keeping [0, size).
  bool reserve(size_t n) { return buffer.reserve(n, size); }
  std::string_view lines() const { return {data(), lines_end}; }
  std::string_view tail() const { return {data() + lines_end, size - lines_end}; }
};

// Reads the data file in blocks of whole lines: begin() on the calling
// thread, read_chunk() for every chunk (from pool tasks), finish() on the
// calling thread again.
class BlockReader {
 public:
  // `size_hint` (the file's size) keeps the buffers of small files small.
  Status open(const std::string& path, uint64_t size_hint);
  bool at_end() const { return eof_; }

  // Once the file has been replaced, freeing its cached pages and blocks
  // need not hold up the caller.
  void close_in_background() { kestrix::close_in_background(std::move(fd_)); }

  // Starts `block` with `carry` and room for the next step of the file.
  Status begin(std::string_view carry, DataBlock& block);
  size_t chunk_count() const { return got_.size(); }
  Status read_chunk(DataBlock& block, size_t i);
  // Takes the chunks up to the first short one (the end of the file) and
  // makes the block end at a line end.
  Status finish(DataBlock& block);

 private:
  UniqueFd fd_;
  uint64_t pos_ = 0;  // file offset of the next block's first new byte
  bool eof_ = false;
  size_t step_ = kDataBlockSize;  // bytes to read per block beyond the carry
  std::vector<size_t> got_;       // bytes read by each chunk of the current block
};

// Cuts `lines` (whole lines, each ending in a line feed) into at most
// `pieces` runs [begin, end) of whole lines, in order, covering it all.
std::vector<std::pair<size_t, size_t>> split_whole_lines(std::string_view lines, size_t pieces);

}  // namespace kestrix
