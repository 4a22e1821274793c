// Data files held as tables (Parquet, known by their magic bytes).
//
// The core reads a table as its content: its rows in order, each the JSON
// line arrow_rows.h makes of it, so that tracking, blame and purges treat a
// row as they treat a line (line numbers count rows from 1).  A purge or
// its undo rewrites a table by row indexes, never from lines: the rows kept
// go to the new table as they were, and the removed rows to a table of
// their own beside the undo record, from which the undo puts them back.
//
// The core links no columnar library: the tables themselves are read and
// written by a provider that the host registers once, before any call
// (kx._core registers one built on pyarrow).  Without one, a table fails
// with a message naming it.  The provider's reads run on the thread that
// opened the table, never on pool tasks, so that it may take an
// interpreter lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "arrow_rows.h"
#include "compression.h"
#include "error.h"

namespace kestrix {

// The record batches of one table, in row order.
class BatchSource {
 public:
  virtual ~BatchSource() = default;
  // The next batch, or nullptr after the last.  `file_bytes` is set to the
  // bytes of the file read once the batch has been taken (the file's size
  // after the last).
  virtual Result<std::unique_ptr<ArrowBatch>> next(uint64_t& file_bytes) = 0;
};

struct TableProvider {
  // The batches of the table at `path`.
  std::function<Result<std::unique_ptr<BatchSource>>(const std::string& path)> open;
  // Writes the table at `path` without the rows at `removed` (ascending row
  // indexes from 0) to `kept_path`, and those rows, in order, to
  // `removed_path`: both with the table's schema (and its metadata), codec
  // and row-group size, and on disk before it returns.
  std::function<Status(const std::string& path, const std::vector<uint64_t>& removed,
                       const std::string& kept_path, const std::string& removed_path)>
      remove_rows;
  // Writes to `out_path` the table at `path` with the rows of the table at
  // `removed_path` put back, in order, at the ascending row indexes
  // `positions` (those past the end at the end), like remove_rows.
  std::function<Status(const std::string& path, const std::vector<uint64_t>& positions,
                       const std::string& removed_path, const std::string& out_path)>
      restore_rows;
};

void set_table_provider(TableProvider provider);
// The registered provider, or an error naming the table at `path`.
Result<const TableProvider*> table_provider(const std::string& path);

// The content of the table at `path`, made from its batches as it is read.
Result<std::unique_ptr<ContentStream>> open_table_content(const std::string& path);

}  // namespace kestrix
