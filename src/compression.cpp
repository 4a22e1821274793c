// gzip and zstd streams; see compression.h.  gzip is read with ISA-L where
// the build found it, else with zlib, and written with libdeflate where
// found, else with zlib (CMakeLists.txt says which it took).
#include "compression.h"

#include <unistd.h>
#include <zlib.h>

#if KX_HAVE_ISAL
#include <isa-l.h>
#include <isa-l/igzip_lib.h>
#endif
#if KX_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif
#if KX_HAVE_ZSTD_H
#include <zstd.h>
#else
#include "zstd_api.h"
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <future>
#include <thread>

#include "pool.h"
#include "progress.h"
#include "table_files.h"

namespace kestrix {
namespace {

// Compressed bytes read per refill of a decompressor's input.
constexpr size_t kInputSize = size_t{1} << 20;

#if KX_HAVE_ISAL
// Inflates gzip members with ISA-L, which decodes deflate streams about 2.7
// times as fast as zlib (1 GB of this project's benchmark data: 0.77 s
// against 2.1 s on one core) and checks each member's CRC-32 and length as
// zlib does.
class MemberInflater {
 public:
  MemberInflater() : state_(std::make_unique<inflate_state>()) {}
  void start() {
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_GZIP;  // parse the gzip header, check the trailer
  }
  // ISA-L rejects a header with a CRC of its own (FHCRC) that comes in two
  // pieces: a member's start is given to it in one.
  static constexpr bool kWholeHeader = true;
  // Inflates from `in` into `out` (each at most kStep bytes); the bytes
  // taken and given, or an error text.
  std::expected<std::pair<size_t, size_t>, std::string> inflate(const char* in, size_t in_len,
                                                                char* out, size_t out_len) {
    state_->next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(in));
    state_->avail_in = static_cast<uint32_t>(in_len);
    state_->next_out = reinterpret_cast<uint8_t*>(out);
    state_->avail_out = static_cast<uint32_t>(out_len);
    const int rc = isal_inflate(state_.get());
    if (rc != ISAL_DECOMP_OK) return std::unexpected(error(rc));
    return std::pair{in_len - state_->avail_in, out_len - state_->avail_out};
  }
  bool member_end() const { return state_->block_state == ISAL_BLOCK_FINISH; }

 private:
  static const char* error(int rc) {
    switch (rc) {
      case ISAL_INVALID_BLOCK: return "invalid deflate block";
      case ISAL_INVALID_SYMBOL: return "invalid deflate symbol";
      case ISAL_INVALID_LOOKBACK: return "invalid back-reference distance";
      case ISAL_INVALID_WRAPPER: return "invalid gzip header";
      case ISAL_UNSUPPORTED_METHOD: return "unsupported compression method";
      case ISAL_INCORRECT_CHECKSUM: return "the gzip checksum does not match the content";
      default: return "invalid gzip data";
    }
  }
  std::unique_ptr<inflate_state> state_;
};
#else
// Inflates gzip members with zlib, which checks each member's CRC-32 and
// length.
class MemberInflater {
 public:
  MemberInflater() : stream_(std::make_unique<z_stream>()) {
    ok_ = inflateInit2(stream_.get(), 16 + MAX_WBITS) == Z_OK;  // 16: a gzip wrapper
  }
  ~MemberInflater() {
    if (ok_) inflateEnd(stream_.get());
  }
  void start() {
    if (ok_) inflateReset(stream_.get());
    end_ = false;
  }
  static constexpr bool kWholeHeader = false;
  std::expected<std::pair<size_t, size_t>, std::string> inflate(const char* in, size_t in_len,
                                                                char* out, size_t out_len) {
    if (!ok_) return std::unexpected("gzip decompression failed to start");
    stream_->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    stream_->avail_in = static_cast<uInt>(in_len);
    stream_->next_out = reinterpret_cast<Bytef*>(out);
    stream_->avail_out = static_cast<uInt>(out_len);
    const int rc = ::inflate(stream_.get(), Z_NO_FLUSH);
    if (rc == Z_STREAM_END) end_ = true;
    else if (rc != Z_OK && rc != Z_BUF_ERROR) return std::unexpected(error(rc));
    return std::pair{in_len - stream_->avail_in, out_len - stream_->avail_out};
  }
  bool member_end() const { return end_; }

 private:
  std::string error(int rc) const {
    const std::string_view why = stream_->msg != nullptr ? stream_->msg : "";
    if (rc == Z_MEM_ERROR) return "out of memory";
    if (why == "incorrect data check") return "the gzip checksum does not match the content";
    if (why == "incorrect length check") return "the gzip length does not match the content";
    if (why == "incorrect header check" || why == "unknown compression method")
      return "invalid gzip header";
    return why.empty() ? "invalid gzip data" : "invalid gzip data (" + std::string(why) + ")";
  }
  std::unique_ptr<z_stream> stream_;
  bool ok_ = false;
  bool end_ = false;
};
#endif

class GzipReader final : public Decompressor {
 public:
  GzipReader(UniqueFd fd, std::string path) : Decompressor(std::move(fd), std::move(path)) {
    start_member();
  }

 protected:
  std::expected<size_t, std::string> step(char* out, size_t len) override {
    if (member_end_) {
      // Nothing after a member yet: the end of the file, or a refill.
      if (in_pos_ == in_end_) return 0;
      if (padded_ || in_[in_pos_] == '\0') {
        // Zero bytes after the last member pad the file to a block size;
        // gzip and Python's gzip module take them as its end, and so do we.
        while (in_pos_ < in_end_ && in_[in_pos_] == '\0') ++in_pos_;
        padded_ = true;
        if (in_pos_ < in_end_) return std::unexpected("data after the zero bytes that end the last member");
        return 0;
      }
      if (MemberInflater::kWholeHeader && !topped_up_ && in_end_ - in_pos_ < kHeaderRoom) {
        // Have the next member's start read in one piece.
        topped_up_ = top_up_wanted_ = true;
        return 0;
      }
      start_member();  // more input after a member: the next member of the file
    }
    auto moved = inflater_.inflate(in_.get() + in_pos_, std::min(in_end_ - in_pos_, kStep), out,
                                   std::min(len, kStep));
    if (!moved) return std::unexpected(std::move(moved).error());
    in_pos_ += moved->first;
    member_end_ = inflater_.member_end();
    return moved->second;
  }
  bool at_boundary() const override { return member_end_; }

 private:
  // The most one call takes or gives (the libraries' counts are 32-bit).
  static constexpr size_t kStep = size_t{1} << 30;
  // Input a member's header is given in one piece when it is no longer.
  static constexpr size_t kHeaderRoom = size_t{64} << 10;

  void start_member() {
    inflater_.start();
    member_end_ = topped_up_ = false;
  }

  MemberInflater inflater_;
  bool member_end_ = false;
  bool topped_up_ = false;  // the input was topped up for the next member
  bool padded_ = false;     // zero bytes came after the last member
};

class ZstdReader final : public Decompressor {
 public:
  ZstdReader(UniqueFd fd, std::string path)
      : Decompressor(std::move(fd), std::move(path)), ctx_(ZSTD_createDCtx()) {}
  ~ZstdReader() override { ZSTD_freeDCtx(ctx_); }
  bool init() const { return ctx_ != nullptr; }

 protected:
  std::expected<size_t, std::string> step(char* out, size_t len) override {
    ZSTD_inBuffer in{in_.get(), in_end_, in_pos_};
    ZSTD_outBuffer to{out, len, 0};
    // Frames follow one another: after one ends, the next call starts the
    // next (skippable frames are passed over).
    const size_t rc = ZSTD_decompressStream(ctx_, &to, &in);
    const bool moved = in.pos != in_pos_ || to.pos > 0;
    in_pos_ = in.pos;
    if (ZSTD_isError(rc)) return std::unexpected(ZSTD_getErrorName(rc));
    // A call with nothing to do says nothing about where the input ends.
    if (moved) frame_end_ = rc == 0;
    return to.pos;
  }
  bool at_boundary() const override { return frame_end_; }

 private:
  ZSTD_DCtx* ctx_;
  bool frame_end_ = true;
};

// Content per gzip member, and the most members being compressed at once
// (with their content and output: some 60 MiB at most).
constexpr size_t kMemberContent = size_t{4} << 20;
constexpr size_t kMostMembersAtOnce = 8;

#if KX_HAVE_LIBDEFLATE
// One gzip member holding `content`.  libdeflate compresses a whole buffer
// two to three times as fast as zlib at the same level, to about the same
// size; members of bounded size are what it is made for.
std::expected<std::string, std::string> gzip_member(std::string_view content, int level) {
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
  if (compressor == nullptr) return std::unexpected("gzip compression failed to start");
  std::string member(libdeflate_gzip_compress_bound(compressor, content.size()), '\0');
  const size_t size =
      libdeflate_gzip_compress(compressor, content.data(), content.size(), member.data(), member.size());
  libdeflate_free_compressor(compressor);
  // The bound is the most any content can take: no room is an internal fault.
  if (size == 0) return std::unexpected("gzip compression failed");
  member.resize(size);
  return member;
}
#else
// One gzip member holding `content`, compressed by zlib in one call.
std::expected<std::string, std::string> gzip_member(std::string_view content, int level) {
  z_stream stream{};
  // 16: a gzip wrapper; 8: zlib's default memory level.
  if (deflateInit2(&stream, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return std::unexpected("gzip compression failed to start");
  std::string member(deflateBound(&stream, content.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = reinterpret_cast<Bytef*>(member.data());
  stream.avail_out = static_cast<uInt>(member.size());
  const int rc = deflate(&stream, Z_FINISH);
  const size_t size = member.size() - stream.avail_out;
  deflateEnd(&stream);
  // The bound is the most any content can take: no room is an internal fault.
  if (rc != Z_STREAM_END) return std::unexpected("gzip compression failed");
  member.resize(size);
  return member;
}
#endif

class GzipWriter final : public Compressor {
 public:
  GzipWriter(std::string path, int level) : Compressor(std::move(path)), level_(level) {
    const size_t held = held_threads();
    const size_t cores = held != 0 ? held : std::max(1u, std::thread::hardware_concurrency());
    at_once_ = std::min(cores, kMostMembersAtOnce);
  }
  Status write(std::string_view content) override {
    while (!content.empty()) {
      const size_t take = std::min(kMemberContent - pending_.size(), content.size());
      pending_.append(content.substr(0, take));
      content.remove_prefix(take);
      if (pending_.size() == kMemberContent) KX_TRY(start_member());
    }
    return {};
  }

  Status finish() override {
    // An empty stream still needs one (empty) member to be a gzip file.
    if (!pending_.empty() || (jobs_.empty() && !wrote_)) KX_TRY(start_member());
    while (!jobs_.empty()) KX_TRY(take_member());
    return {};
  }

 private:
  // Hands the pending content to a thread as a member of its own, once a
  // thread is free: members are taken in order, the oldest first.
  Status start_member() {
    if (jobs_.size() >= at_once_) KX_TRY(take_member());
    // Shared, so that the content is still here if no thread can be had.
    auto content = std::make_shared<const std::string>(std::move(pending_));
    auto compress = [content, level = level_] { return gzip_member(*content, level); };
    pending_ = std::string();
    pending_.reserve(kMemberContent);
    try {
      jobs_.push_back(std::async(std::launch::async, compress));
    } catch (const std::system_error&) {  // no thread to be had: compress here
      std::promise<std::expected<std::string, std::string>> done;
      done.set_value(compress());
      jobs_.push_back(done.get_future());
    }
    return {};
  }

  Status take_member() {
    auto member = jobs_.front().get();
    jobs_.pop_front();
    if (!member) return failed(member.error());
    put(*member);
    wrote_ = true;
    return {};
  }

  int level_;
  size_t at_once_ = 1;
  std::string pending_;
  std::deque<std::future<std::expected<std::string, std::string>>> jobs_;
  bool wrote_ = false;
};

class ZstdWriter final : public Compressor {
 public:
  explicit ZstdWriter(std::string path) : Compressor(std::move(path)), ctx_(ZSTD_createCCtx()) {}
  ~ZstdWriter() override { ZSTD_freeCCtx(ctx_); }
  bool init(int level) {
    if (ctx_ == nullptr ||
        ZSTD_isError(ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, level)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(ctx_, ZSTD_c_checksumFlag, 1)))
      return false;
    // Compression is the slowest step of a purge's rewrite: threads of the
    // library's own take it off the writing thread and spread it over the
    // cores that classification leaves idle.  A library built without
    // threads refuses, and compresses on the writing thread.  A process
    // whose pool is held to fewer threads (one of several sharing a host)
    // keeps to that number here too.
    const size_t held = held_threads();
    const int workers = held == 0 ? 2 : static_cast<int>(std::min<size_t>(2, held - 1));
    (void)ZSTD_CCtx_setParameter(ctx_, ZSTD_c_nbWorkers, workers);
    return true;
  }

  Status write(std::string_view content) override {
    ZSTD_inBuffer in{content.data(), content.size(), 0};
    while (in.pos < in.size) KX_TRY(step(in, ZSTD_e_continue));
    return {};
  }

  Status finish() override {
    ZSTD_inBuffer in{nullptr, 0, 0};
    for (;;) {
      KX_ASSIGN_OR_RETURN(bool complete, step(in, ZSTD_e_end));
      if (complete) return {};
    }
  }

 private:
  // One call of the library with room for a block of output; whether the
  // frame is complete.
  Result<bool> step(ZSTD_inBuffer& in, ZSTD_EndDirective end) {
    make_room(ZSTD_CStreamOutSize());
    ZSTD_outBuffer to{out_.get(), capacity_, fill_};
    const size_t rc = ZSTD_compressStream2(ctx_, &to, &in, end);
    fill_ = to.pos;
    if (ZSTD_isError(rc)) return failed(ZSTD_getErrorName(rc));
    return rc == 0;
  }

  ZSTD_CCtx* ctx_;
};

}  // namespace

std::string_view compression_name(Compression format) {
  switch (format) {
    case Compression::kGzip: return "gzip";
    case Compression::kZstd: return "zstd";
    case Compression::kParquet: return "Parquet";
    case Compression::kNone: break;
  }
  return "plain";
}

Compression compression_of(std::string_view head) {
  if (head.starts_with("\x1f\x8b")) return Compression::kGzip;
  if (head.starts_with("\x28\xb5\x2f\xfd")) return Compression::kZstd;
  if (head.starts_with("PAR1")) return Compression::kParquet;
  // A zstd file may begin with a skippable frame (magic 0x184D2A50-5F).
  if (head.size() >= 4 && (static_cast<unsigned char>(head[0]) & 0xf0) == 0x50 &&
      head.substr(1, 3) == "\x2a\x4d\x18")
    return Compression::kZstd;
  return Compression::kNone;
}

Result<Compression> file_compression(const std::string& path) {
  KX_ASSIGN_OR_RETURN(std::optional<RangeReader> file, RangeReader::open(path));
  if (!file) return Compression::kNone;
  std::string head;
  KX_TRY(file->read_at(0, 4, head));
  return compression_of(head);
}

Result<bool> stream_content(const std::string& path,
                            const std::function<Status(std::string_view)>& sink,
                            bool report_progress) {
  KX_ASSIGN_OR_RETURN(Compression format, file_compression(path));
  if (format == Compression::kNone) {
    return stream_file(path, [&](std::string_view piece) -> Status {
      if (report_progress) progress_add(piece.size());
      return sink(piece);
    });
  }
  UniqueFd fd(open_retry(path.c_str(), O_RDONLY));
  if (fd.get() < 0) return fail_errno(path);
  KX_ASSIGN_OR_RETURN(auto reader, open_content(format, std::move(fd), path));
  auto piece = std::make_unique<char[]>(kInputSize);
  uint64_t reported = 0;
  for (;;) {
    KX_ASSIGN_OR_RETURN(size_t got, reader->read(piece.get(), kInputSize));
    if (report_progress) {
      progress_add(reader->file_bytes_read() - reported);
      reported = reader->file_bytes_read();
    }
    if (got == 0) return true;
    KX_TRY(sink({piece.get(), got}));
  }
}

std::vector<std::pair<std::string, std::string>> codec_libraries() {
  const std::string zlib = std::string("zlib ") + zlibVersion();
#if KX_HAVE_ISAL
  const std::string reader = "ISA-L " + std::to_string(ISAL_MAJOR_VERSION) + "." +
                             std::to_string(ISAL_MINOR_VERSION) + "." + std::to_string(ISAL_PATCH_VERSION);
#else
  const std::string reader = zlib;
#endif
#if KX_HAVE_LIBDEFLATE
  const std::string writer = "libdeflate " LIBDEFLATE_VERSION_STRING;
#else
  const std::string writer = zlib;
#endif
  return {{"gzip_reader", reader},
          {"gzip_writer", writer},
          {"zstd", std::string("libzstd ") + ZSTD_versionString()}};
}

int default_level(Compression format) { return format == Compression::kGzip ? 6 : 3; }

Status check_level(Compression format, int level) {
  const int most = format == Compression::kGzip ? 9 : 19;
  const bool any = format == Compression::kNone || format == Compression::kParquet;
  if (any || (level >= 1 && level <= most)) return {};
  return fail_msg("compression level " + std::to_string(level) + " is not one " +
                  std::string(compression_name(format)) + " takes (1 to " + std::to_string(most) +
                  ")");
}

// ------------------------------------------------------------ Reading ---

Result<std::unique_ptr<ContentStream>> open_content(Compression format, UniqueFd fd,
                                                    std::string path) {
  if (format == Compression::kParquet) return open_table_content(path);
  KX_ASSIGN_OR_RETURN(auto reader, Decompressor::create(format, std::move(fd), std::move(path)));
  return std::unique_ptr<ContentStream>(std::move(reader));
}

Result<std::unique_ptr<Decompressor>> Decompressor::create(Compression format, UniqueFd fd,
                                                           std::string path) {
  std::unique_ptr<Decompressor> reader;
  if (format == Compression::kGzip) {
    reader = std::make_unique<GzipReader>(std::move(fd), std::move(path));
  } else {
    auto zstd = std::make_unique<ZstdReader>(std::move(fd), std::move(path));
    if (!zstd->init()) return fail(Error::os(ENOMEM));
    reader = std::move(zstd);
  }
  reader->in_ = std::make_unique<char[]>(kInputSize);
  return reader;
}

std::unexpected<Error> Decompressor::damaged(std::string_view why) const {
  return fail(Error::msg("data file " + quote_path(path_) + " is damaged: " + std::string(why) +
                         " (after " + std::to_string(produced_) + " bytes of content)")
                  .about(path_));
}

Status Decompressor::refill() {
  // Unread input (kept when a step asked for a top-up) moves to the front.
  const size_t kept = in_end_ - in_pos_;
  std::memmove(in_.get(), in_.get() + in_pos_, kept);
  in_pos_ = 0;
  in_end_ = kept;
  auto got = read_at(fd_.get(), in_.get() + kept, kInputSize - kept, consumed_);
  if (!got) return fail(std::move(got).error());
  in_end_ += *got;
  consumed_ += *got;
  // The end only once every byte read is taken.
  in_eof_ = in_end_ == 0;
  return {};
}

Result<size_t> Decompressor::read(char* out, size_t len) {
  size_t got = 0;
  while (got < len && !done_) {
    if (top_up_wanted_ || (in_pos_ == in_end_ && !in_eof_)) {
      top_up_wanted_ = false;
      KX_TRY(refill());
    }
    auto produced = step(out + got, len - got);
    if (!produced) return damaged(produced.error());
    got += *produced;
    produced_ += *produced;
    if (in_eof_ && *produced == 0) {
      if (!at_boundary()) return damaged("the compressed stream is cut short");
      done_ = true;
    }
  }
  return got;
}

// ------------------------------------------------------------ Writing ---

Result<std::unique_ptr<Compressor>> Compressor::create(Compression format, int level,
                                                       std::string path) {
  KX_TRY(check_level(format, level));
  if (format == Compression::kGzip) return std::make_unique<GzipWriter>(std::move(path), level);
  auto zstd = std::make_unique<ZstdWriter>(std::move(path));
  if (!zstd->init(level)) return fail(Error::os(ENOMEM));
  return std::unique_ptr<Compressor>(std::move(zstd));
}

void Compressor::make_room(size_t n) {
  if (capacity_ - fill_ >= n) return;
  const size_t capacity = std::max(capacity_ * 2, fill_ + n);
  auto grown = std::make_unique<char[]>(capacity);
  if (fill_ > 0) std::memcpy(grown.get(), out_.get(), fill_);
  out_ = std::move(grown);
  capacity_ = capacity;
}

void Compressor::put(std::string_view bytes) {
  make_room(bytes.size());
  std::memcpy(out_.get() + fill_, bytes.data(), bytes.size());
  fill_ += bytes.size();
}

std::unexpected<Error> Compressor::failed(std::string_view why) const {
  return fail(Error::msg("compressing " + quote_path(path_) + ": " + std::string(why)));
}

}  // namespace kestrix
