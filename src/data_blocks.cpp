// Block-wise reading of data files; see data_blocks.h.
#include "data_blocks.h"

#include <fcntl.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cerrno>
#include <cstring>

#include "mmap_lines.h"
#include "pool.h"
#include "progress.h"

namespace kestrix {
namespace {

// Reads of a block are spread over tasks of this size.
constexpr size_t kReadChunk = size_t{2} << 20;
// Slices per pool thread and block, so that uneven lines still balance.
constexpr size_t kSlicesPerThread = 8;

// Cuts `lines` (whole lines, each ending in a line feed) into at most
// `pieces` runs [begin, end) of whole lines, in order, covering it all.
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

}  // namespace

std::vector<std::pair<size_t, size_t>> DataBlock::slice_bounds() const {
  return split_whole_lines(lines(), pool_size() * kSlicesPerThread);
}

Result<uint64_t> max_line_bytes() {
  const char* text = std::getenv(kMaxLineVariable);
  if (text == nullptr || *text == '\0') return kDefaultMaxLine;
  const std::string_view value(text);
  uint64_t n = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
  const std::string_view unit = value.substr(static_cast<size_t>(end - value.data()));
  int shift = -1;
  if (unit.empty()) shift = 0;
  else if (unit == "K" || unit == "KiB") shift = 10;
  else if (unit == "M" || unit == "MiB") shift = 20;
  else if (unit == "G" || unit == "GiB") shift = 30;
  if (ec != std::errc() || shift < 0 || n == 0 || n > (UINT64_MAX >> shift))
    return fail_msg(std::string(kMaxLineVariable) + "=" + std::string(value) +
                    " is not a size (bytes, or a number with K, M or G)");
  return n << shift;
}

Status BlockReader::open(const std::string& path, uint64_t size_hint, ReadAs read_as) {
  KX_ASSIGN_OR_RETURN(fd_, open_to_read(path));
  KX_ASSIGN_OR_RETURN(opened_, stat_fd(fd_.get()));
  KX_ASSIGN_OR_RETURN(max_line_, max_line_bytes());
  path_ = path;
  char magic[4];
  KX_ASSIGN_OR_RETURN(size_t head, read_at(fd_.get(), magic, sizeof magic, 0));
  format_ = read_as == ReadAs::kContent ? compression_of({magic, head}) : Compression::kNone;
  if (format_ != Compression::kNone) {
    KX_ASSIGN_OR_RETURN(stream_, open_content(format_, std::move(fd_), path));
    // The content is larger than the file: whole blocks from the start.
    size_hint = kDataBlockSize;
  }
  step_ = static_cast<size_t>(std::clamp<uint64_t>(size_hint, 64 << 10, kDataBlockSize));
  return {};
}

Result<size_t> BlockReader::read_content(char* out, size_t len, uint64_t offset) {
  if (!stream_) return read_at(fd_.get(), out, len, pos_ + offset);
  return stream_->read(out, len);
}

uint64_t BlockReader::file_bytes_read(uint64_t from) {
  if (!stream_) return pos_ - from;
  const uint64_t read = stream_->file_bytes_read() - reported_;
  reported_ += read;
  return read;
}

size_t BlockReader::chunk_length(size_t i) const {
  // A stream is decompressed in order, by one task per block.
  if (stream_) return step_;
  return std::min(kReadChunk, step_ - i * kReadChunk);
}

Status BlockReader::begin(std::string_view carry, DataBlock& block) {
  block.size = 0;
  block.file_offset = pos_ - carry.size();
  if (!block.reserve(carry.size() + step_ + 1)) return fail(Error::os(ENOMEM));
  if (!carry.empty()) std::memcpy(block.data(), carry.data(), carry.size());
  block.size = carry.size();
  // A stream that pool tasks may not read is read by finish(), on this
  // thread, once the previous block's work is done.
  size_t chunks = (step_ + kReadChunk - 1) / kReadChunk;
  if (stream_) chunks = stream_->reads_on_pool() ? 1 : 0;
  got_.assign(chunks, 0);
  return {};
}

Status BlockReader::read_chunk(DataBlock& block, size_t i) {
  const size_t offset = i * kReadChunk;
  auto got = read_content(block.data() + block.size + offset, chunk_length(i), offset);
  if (!got) return fail(std::move(got).error());
  got_[i] = *got;
  return {};
}

Status BlockReader::finish(DataBlock& block) {
  const size_t carry = block.size;
  const uint64_t from = pos_;
  block.added_lf = std::string_view::npos;
  for (size_t i = 0; i < got_.size(); ++i) {
    block.size += got_[i];
    pos_ += got_[i];
    if (got_[i] < chunk_length(i)) {
      eof_ = true;
      break;
    }
  }
  for (;;) {
    if (eof_) {
      if (block.size > 0 && block.data()[block.size - 1] != '\n') {
        block.added_lf = block.size;
        block.data()[block.size++] = '\n';
      }
      block.lines_end = block.size;
      progress_add(file_bytes_read(from));
      return check_line_lengths(block);
    }
    const void* last = memrchr(block.data() + carry, '\n', block.size - carry);
    if (last != nullptr) {
      block.lines_end = static_cast<size_t>(static_cast<const char*>(last) - block.data()) + 1;
      progress_add(file_bytes_read(from));
      return check_line_lengths(block);
    }
    // The block holds one unfinished line, which must not grow without end.
    if (block.size > max_line_) return line_too_long(block.file_offset);
    if (!block.reserve(block.size + step_ + 1)) return fail(Error::os(ENOMEM));
    auto got = read_content(block.data() + block.size, step_, 0);
    if (!got) return fail(std::move(got).error());
    block.size += *got;
    pos_ += *got;
    eof_ = *got < step_;
  }
}

Status BlockReader::line_too_long(uint64_t at) const {
  return fail(Error::msg("data file " + quote_path(path_) + ": the line at byte " + std::to_string(at) +
                         " of its content is longer than " + std::to_string(max_line_) +
                         " bytes, the longest line kx reads (" + std::string(kMaxLineVariable) +
                         " sets another bound)")
                  .about(path_));
}

Status BlockReader::check_line_lengths(const DataBlock& block) const {
  // Only a bound below the block's size needs the look.
  if (block.lines_end <= max_line_) return {};
  const char* data = block.data();
  for (size_t at = 0; at < block.lines_end;) {
    const auto* end = static_cast<const char*>(std::memchr(data + at, '\n', block.lines_end - at));
    const size_t next = static_cast<size_t>(end - data) + 1;
    if (next - at - 1 > max_line_) return line_too_long(block.file_offset + at);
    at = next;
  }
  return {};
}

Status BlockPipeline::start(BlockReader& reader) {
  reader_ = &reader;
  DataBlock& first = blocks_[current_];
  KX_TRY(reader.begin({}, first));
  for (size_t i = 0; i < reader.chunk_count(); ++i) KX_TRY(reader.read_chunk(first, i));
  KX_TRY(reader.finish(first));
  runs_ = first.slice_bounds();
  return {};
}

Result<bool> BlockPipeline::next(const Work& work) {
  DataBlock& current = blocks_[current_];
  DataBlock& following = blocks_[1 - current_];
  const bool more = !reader_->at_end();
  if (more) KX_TRY(reader_->begin(current.tail(), following));
  std::vector<Status> reads(more ? reader_->chunk_count() : 0);
  // Indexes are claimed in order.  A stream is read by one long task:
  // claimed first, it runs beside the slices instead of after them.  Plain
  // reads are short and go last, after the block they follow is worked on.
  const size_t first_read = reader_->reads_stream() ? 0 : runs_.size();
  const size_t first_slice = first_read == 0 ? reads.size() : 0;
  parallel_for(runs_.size() + reads.size(), [&](size_t i) {
    if (i >= first_read && i - first_read < reads.size())
      reads[i - first_read] = reader_->read_chunk(following, i - first_read);
    else work(current.lines(), runs_[i - first_slice], i - first_slice);
  });
  for (Status& st : reads) KX_TRY(std::move(st));
  if (!more) {
    runs_.clear();
    return false;
  }
  KX_TRY(reader_->finish(following));
  current_ = 1 - current_;
  runs_ = following.slice_bounds();
  return true;
}

}  // namespace kestrix
