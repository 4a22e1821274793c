// Tables read as their rows' lines; see table_files.h.
#include "table_files.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "fs.h"

namespace kestrix {
namespace {

// Rows converted at a time while a read is being filled.
constexpr int64_t kRowsPerStep = 1024;

std::optional<TableProvider>& registered() {
  static std::optional<TableProvider> provider;
  return provider;
}

// A table's content: the lines of its rows, converted batch by batch as
// the reader asks for them, so that memory holds one batch (and what its
// provider reads with it) and about one read's worth of lines.
class TableContent final : public ContentStream {
 public:
  TableContent(std::unique_ptr<BatchSource> source, std::string path)
      : source_(std::move(source)), path_(std::move(path)) {}

  Result<size_t> read(char* out, size_t len) override {
    size_t got = 0;
    while (got < len) {
      if (taken_ == lines_.size()) {
        lines_.clear();
        taken_ = 0;
        KX_TRY(convert(len - got));
        if (lines_.empty()) break;
      }
      const size_t n = std::min(len - got, lines_.size() - taken_);
      std::memcpy(out + got, lines_.data() + taken_, n);
      taken_ += n;
      got += n;
    }
    return got;
  }

  // The file bytes of the batches before the current one, and the current
  // one's share by the rows converted.
  uint64_t file_bytes_read() const override {
    if (!batch_ || batch_->rows() == 0) return batch_end_;
    return batch_start_ + (batch_end_ - batch_start_) * static_cast<uint64_t>(row_) /
                              static_cast<uint64_t>(batch_->rows());
  }

  bool reads_on_pool() const override { return false; }

 private:
  // Converts rows until at least `want` bytes of lines are held, or the
  // table ends.
  Status convert(size_t want) {
    while (lines_.size() < want) {
      if (!batch_ || row_ == batch_->rows()) {
        if (ended_) return {};
        KX_TRY(next_batch());
        if (!batch_) return {};
        continue;
      }
      const int64_t end = std::min(batch_->rows(), row_ + kRowsPerStep);
      rows_->append_lines(batch_->array, row_, end, lines_);
      row_ = end;
    }
    return {};
  }

  Status next_batch() {
    batch_start_ = batch_end_;
    batch_.reset();
    KX_ASSIGN_OR_RETURN(auto batch, source_->next(batch_end_));
    ended_ = batch == nullptr;
    if (ended_) return {};
    auto rows = ArrowRows::create(batch->schema);
    if (!rows) {
      const std::string why = rows.error().outermost();
      return fail(Error::msg("data file " + quote_path(path_) + ": " + why).about(path_));
    }
    rows_.emplace(std::move(*rows));
    batch_ = std::move(batch);
    row_ = 0;
    return {};
  }

  std::unique_ptr<BatchSource> source_;
  std::string path_;
  std::unique_ptr<ArrowBatch> batch_;
  bool ended_ = false;             // the source gave its last batch
  std::optional<ArrowRows> rows_;  // the writer of batch_'s rows
  int64_t row_ = 0;                // the next row of batch_ to convert
  uint64_t batch_start_ = 0, batch_end_ = 0;  // file bytes before and after batch_
  std::string lines_;
  size_t taken_ = 0;  // bytes of lines_ already read
};

}  // namespace

void set_table_provider(TableProvider provider) { registered() = std::move(provider); }

Result<const TableProvider*> table_provider(const std::string& path) {
  if (!registered())
    return fail(Error::msg("data file " + quote_path(path) +
                           " is a Parquet table, which this build cannot read")
                    .about(path));
  return &*registered();
}

Result<std::unique_ptr<ContentStream>> open_table_content(const std::string& path) {
  KX_ASSIGN_OR_RETURN(const TableProvider* provider, table_provider(path));
  KX_ASSIGN_OR_RETURN(auto source, provider->open(path));
  return std::unique_ptr<ContentStream>(std::make_unique<TableContent>(std::move(source), path));
}

}  // namespace kestrix
