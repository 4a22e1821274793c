// Block-wise reading of data files; see data_blocks.h.
#include "data_blocks.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mmap_lines.h"
#include "progress.h"

namespace kestrix {
namespace {

// Reads of a block are spread over tasks of this size.
constexpr size_t kReadChunk = size_t{2} << 20;

}  // namespace

Status BlockReader::open(const std::string& path, uint64_t size_hint) {
  fd_.reset(open_retry(path.c_str(), O_RDONLY));
  if (fd_.get() < 0) return fail_errno();
  step_ = static_cast<size_t>(std::clamp<uint64_t>(size_hint, 64 << 10, kDataBlockSize));
  return {};
}

Status BlockReader::begin(std::string_view carry, DataBlock& block) {
  block.size = 0;
  if (!block.reserve(carry.size() + step_ + 1)) return fail(Error::os(ENOMEM));
  if (!carry.empty()) std::memcpy(block.data(), carry.data(), carry.size());
  block.size = carry.size();
  got_.assign((step_ + kReadChunk - 1) / kReadChunk, 0);
  return {};
}

Status BlockReader::read_chunk(DataBlock& block, size_t i) {
  const size_t offset = i * kReadChunk;
  const size_t len = std::min(kReadChunk, step_ - offset);
  auto got = read_at(fd_.get(), block.data() + block.size + offset, len, pos_ + offset);
  if (!got) return fail(std::move(got).error());
  got_[i] = *got;
  return {};
}

// At the end of the file the last line gets a line feed, so every line of a
// block ends in one; a line longer than a block is read on until it ends.
Status BlockReader::finish(DataBlock& block) {
  const size_t carry = block.size;
  const uint64_t from = pos_;
  for (size_t i = 0; i < got_.size(); ++i) {
    block.size += got_[i];
    pos_ += got_[i];
    if (got_[i] < std::min(kReadChunk, step_ - i * kReadChunk)) {
      eof_ = true;
      break;
    }
  }
  for (;;) {
    if (eof_) {
      if (block.size > 0 && block.data()[block.size - 1] != '\n') block.data()[block.size++] = '\n';
      block.lines_end = block.size;
      progress_add(pos_ - from);
      return {};
    }
    const void* last = memrchr(block.data() + carry, '\n', block.size - carry);
    if (last != nullptr) {
      block.lines_end = static_cast<size_t>(static_cast<const char*>(last) - block.data()) + 1;
      progress_add(pos_ - from);
      return {};
    }
    if (!block.reserve(block.size + step_ + 1)) return fail(Error::os(ENOMEM));
    auto got = read_at(fd_.get(), block.data() + block.size, step_, pos_);
    if (!got) return fail(std::move(got).error());
    block.size += *got;
    pos_ += *got;
    eof_ = *got < step_;
  }
}

std::vector<std::pair<size_t, size_t>> split_whole_lines(std::string_view lines, size_t pieces) {
  std::vector<std::pair<size_t, size_t>> runs;
  size_t begin = 0;
  for (size_t i = 1; i <= pieces && begin < lines.size(); ++i) {
    size_t end = lines.size();
    if (i < pieces) {
      const size_t target = lines.size() / pieces * i;
      if (target <= begin) continue;
      end = end_of_line(lines, target - 1);
    }
    runs.emplace_back(begin, end);
    begin = end;
  }
  return runs;
}

}  // namespace kestrix
