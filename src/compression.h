// Compressed data files: gzip and zstd, recognised by their magic bytes,
// read and written as streams of their decompressed content.  Parquet
// tables are recognised here too: their content is their rows as JSON lines,
// read through table_files.h.
//
// A data file's lines, line hashes and line numbers are those of its
// decompressed content; the compressed bytes are only its envelope.  Readers
// take every gzip member and every zstd frame of a file in turn (parallel
// compressors write several), so a file reads whole however it was written;
// a file that ends inside a member or frame, or holds bytes that do not
// decompress, fails with a message naming it.  Memory stays bounded: a
// decompressor holds one input buffer and its format's window.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "fs.h"

namespace kestrix {

// kParquet is no compression but a table whose content the readers take in
// place of the file's bytes, as they take a compressed file's.
enum class Compression { kNone, kGzip, kZstd, kParquet };

std::string_view compression_name(Compression format);  // "gzip", "zstd", "Parquet" or "plain"

// The format whose magic bytes begin `head` (at least its first 4 bytes
// when the file has them); kNone for anything else.
Compression compression_of(std::string_view head);

// The format of the file at `path` by its first bytes; kNone when it is
// missing or empty.
Result<Compression> file_compression(const std::string& path);

// Passes the content of the file at `path`, decompressed when it is gzip or
// zstd, to `sink` in pieces of up to 1 MiB, in order; with
// `report_progress`, the file bytes read go to progress_add().  False when
// the file does not exist; an error when it cannot be read or decompressed,
// or when `sink` fails.
Result<bool> stream_content(const std::string& path,
                            const std::function<Status(std::string_view)>& sink,
                            bool report_progress = false);

// The compression level a rewrite uses when none is asked for, and the
// levels a format takes (plain files and tables take any and ignore it).
int default_level(Compression format);
// An error naming the levels `format` takes, unless `level` is one.
Status check_level(Compression format, int level);

// The library behind each codec of this build, with its version:
// {"gzip_reader", "ISA-L 2.30.0"} or zlib, {"gzip_writer", "libdeflate 1.14"}
// or zlib, {"zstd", "libzstd 1.5.4"}.
std::vector<std::pair<std::string, std::string>> codec_libraries();

// The content of a data file as a stream.
class ContentStream {
 public:
  virtual ~ContentStream() = default;
  // Fills `out` with up to `len` bytes of content; fewer only at the end.
  virtual Result<size_t> read(char* out, size_t len) = 0;
  // Bytes of the file consumed so far.
  virtual uint64_t file_bytes_read() const = 0;
  // Whether pool tasks may read the stream (a table's provider may need
  // the host's interpreter lock, which pool tasks must not take).
  virtual bool reads_on_pool() const { return true; }
};

// The content of the file `path` in `format` (not kNone), read through `fd`
// from its current offset.
Result<std::unique_ptr<ContentStream>> open_content(Compression format, UniqueFd fd,
                                                    std::string path);

// Streams the decompressed content of a compressed file.
class Decompressor : public ContentStream {
 public:
  // Reads `fd` (the file `path`, named by errors) from its current offset.
  static Result<std::unique_ptr<Decompressor>> create(Compression format, UniqueFd fd,
                                                      std::string path);

  Result<size_t> read(char* out, size_t len) override;
  uint64_t file_bytes_read() const override { return consumed_; }

 protected:
  Decompressor(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  // Decompresses from in_[in_pos_, in_end_) into `out`, advancing in_pos_;
  // the bytes written, or an error text.
  virtual std::expected<size_t, std::string> step(char* out, size_t len) = 0;
  // Whether the input so far ends where a member or frame ends.
  virtual bool at_boundary() const = 0;

  std::unique_ptr<char[]> in_;
  size_t in_pos_ = 0;
  size_t in_end_ = 0;
  // Set by step() (returning 0) to have the input refilled before the next
  // step though some is left: the unread bytes move to the front of in_.
  bool top_up_wanted_ = false;

 private:
  // Fills in_ from the file after its unread bytes.
  Status refill();
  std::unexpected<Error> damaged(std::string_view why) const;

  UniqueFd fd_;
  std::string path_;
  bool in_eof_ = false;
  bool done_ = false;
  uint64_t consumed_ = 0;  // file bytes read into in_
  uint64_t produced_ = 0;
};

// Compresses a stream of content into the bytes of a gzip or zstd file,
// gathered in output() until the caller takes them.  zstd writes one frame
// (compressed on the library's own threads); gzip, whose compression is far
// slower, writes a member per 4 MiB of content, compressed several at a
// time on threads of its own (readers take every member in turn, and the
// ratio is within a fraction of a percent of one member's).
class Compressor {
 public:
  // `path` names the file in errors.
  static Result<std::unique_ptr<Compressor>> create(Compression format, int level,
                                                    std::string path);
  virtual ~Compressor() = default;

  // Compresses `content`, the next part of the stream.
  virtual Status write(std::string_view content) = 0;
  // Ends the stream; output() then holds its last bytes.
  virtual Status finish() = 0;
  std::string_view output() const { return {out_.get(), fill_}; }
  void clear_output() { fill_ = 0; }

 protected:
  explicit Compressor(std::string path) : path_(std::move(path)) {}
  // Room for at least `n` more output bytes.
  void make_room(size_t n);
  // Appends `bytes` to the output.
  void put(std::string_view bytes);
  std::unexpected<Error> failed(std::string_view why) const;

  std::unique_ptr<char[]> out_;
  size_t capacity_ = 0;
  size_t fill_ = 0;

 private:
  std::string path_;
};

}  // namespace kestrix
