// Rows of Arrow record batches as JSON lines: how a table's rows become the
// lines of content that the store hashes, blames and purges.
//
// Batches arrive through the Arrow C data interface (the ABI-stable structs
// below, as the interface defines them), so the core reads tables without
// linking an Arrow library.  A row is the JSON object of its columns, keyed
// by column name, written by json.h's JsonWriter in document order; the
// readers of the lines parse them and hash the canonical form, so key order
// and repeated keys are settled there (a later equal key wins).
//
// Values by Arrow type:
//   null, and a null of any type          null
//   boolean                               true / false
//   int8 ... int64, uint8 ... uint64      an integer
//   float16, float32, float64             a number; NaN and infinities null
//   string, large string                  a string (the bytes as they are)
//   decimal128(p, s)                      a string of its exact digits, "-12.50"
//   date32, date64                        a string "YYYY-MM-DD"
//   time32, time64                        a string "HH:MM:SS", with 3, 6 or 9
//                                         fraction digits for ms, us and ns
//   timestamp                             a string "YYYY-MM-DDTHH:MM:SS" with
//                                         the unit's fraction digits, and "Z"
//                                         when it has a time zone (the instant
//                                         is then written in UTC)
//   list, large list, fixed-size list     an array
//   struct                                an object of its fields
//   map                                   an object; integer keys written as
//                                         their decimal digits
//   dictionary-encoded values             as their values
// Binary types have no JSON form and are refused, as are durations,
// intervals, unions, views, run-end encoding, 256-bit decimals and maps
// whose keys are neither strings nor integers: the error names the column.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.h"

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
extern "C" {
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
}
#endif

namespace kestrix {

// A record batch (a struct array of the columns) and its schema, owned:
// both are released with it.
struct ArrowBatch {
  ArrowSchema schema{};
  ArrowArray array{};

  ArrowBatch() = default;
  ArrowBatch(const ArrowBatch&) = delete;
  ArrowBatch& operator=(const ArrowBatch&) = delete;
  ~ArrowBatch() {
    if (array.release != nullptr) array.release(&array);
    if (schema.release != nullptr) schema.release(&schema);
  }
  int64_t rows() const { return array.length; }
};

class ArrowRows {
 public:
  // The writer of batches of `schema`; an error naming the first column
  // whose type has no JSON form.
  static Result<ArrowRows> create(const ArrowSchema& schema);
  ArrowRows(ArrowRows&&) noexcept;
  ArrowRows& operator=(ArrowRows&&) noexcept;
  ~ArrowRows();

  // Appends the rows [begin, end) of `batch` as JSON lines, each ending in
  // a line feed.
  void append_lines(const ArrowArray& batch, int64_t begin, int64_t end, std::string& out) const;

  struct Field;

 private:
  explicit ArrowRows(std::vector<Field> columns);
  std::vector<Field> columns_;
};

}  // namespace kestrix
