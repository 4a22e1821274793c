// JSON lines of Arrow record batches; see arrow_rows.h for the mapping.
//
// The schema is read once into a tree of fields; writing a row walks that
// tree beside the arrays.  Indexes follow the C data interface: an array's
// own offset shifts its buffers, a struct's children are indexed like the
// struct itself, and list offsets index their child array.
#include "arrow_rows.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "json.h"

namespace kestrix {

enum class FieldKind : uint8_t {
  kNull, kBool, kInt8, kInt16, kInt32, kInt64, kUint8, kUint16, kUint32, kUint64,
  kHalf, kFloat, kDouble, kString, kLargeString, kDecimal, kDate32, kDate64, kTime32,
  kTime64, kTimestamp, kList, kLargeList, kFixedList, kStruct, kMap
};

struct ArrowRows::Field {
  FieldKind kind = FieldKind::kNull;
  std::string name;
  int digits = 0;          // times and timestamps: fraction digits; decimals: the scale
  bool zoned = false;      // a timestamp with a time zone
  int64_t list_size = 0;   // fixed-size lists
  std::vector<Field> children;
  std::vector<Field> dictionary;  // dictionary-encoded: the values' field (kind is the index's)
};

namespace {

using Field = ArrowRows::Field;
using enum FieldKind;

// Units per second of 0, 3, 6 and 9 fraction digits, by digits / 3.
constexpr int64_t kUnitsPerSecond[] = {1, 1000, 1000000, 1000000000};

bool is_integer(FieldKind kind) { return kind >= kInt8 && kind <= kUint64; }

std::optional<FieldKind> plain_kind(std::string_view format) {
  static constexpr std::pair<std::string_view, FieldKind> kKinds[] = {
      {"n", kNull},   {"b", kBool},        {"c", kInt8},   {"s", kInt16},  {"i", kInt32},
      {"l", kInt64},  {"C", kUint8},       {"S", kUint16}, {"I", kUint32}, {"L", kUint64},
      {"e", kHalf},   {"f", kFloat},       {"g", kDouble}, {"u", kString}, {"U", kLargeString},
      {"tdD", kDate32}, {"tdm", kDate64},  {"+l", kList},  {"+L", kLargeList},
      {"+s", kStruct}, {"+m", kMap}};
  for (auto [name, kind] : kKinds)
    if (format == name) return kind;
  return std::nullopt;
}

// Fraction digits of a time unit letter (s, m, u, n).
std::optional<int> unit_digits(char unit) {
  switch (unit) {
    case 's': return 0;
    case 'm': return 3;
    case 'u': return 6;
    case 'n': return 9;
    default: return std::nullopt;
  }
}

// What a refused format holds, for the error.
std::string refused_type(std::string_view format) {
  static constexpr std::pair<std::string_view, std::string_view> kRefused[] = {
      {"z", "binary data"},  {"Z", "binary data"}, {"vz", "binary data"}, {"w:", "binary data"},
      {"vu", "string views"}, {"tD", "durations"}, {"ti", "intervals"},   {"+u", "unions"},
      {"+r", "run-end encoded values"}, {"+v", "list views"}, {"d:", "256-bit decimals"}};
  for (auto [prefix, what] : kRefused)
    if (format.starts_with(prefix)) return std::string(what);
  return "values of Arrow format '" + std::string(format) + "'";
}

std::unexpected<Error> refuse(const std::string& column, std::string_view what) {
  return fail_msg("column '" + column + "' holds " + std::string(what) +
                  ", which has no JSON form");
}

// The kind and parameters of a format that is not plain_kind().
Status parse_parametrised(std::string_view format, Field& field, const std::string& column) {
  if (format.size() == 3 && format.starts_with("tt")) {  // time32 (s, ms), time64 (us, ns)
    if (auto digits = unit_digits(format[2])) {
      field.kind = *digits <= 3 ? kTime32 : kTime64;
      field.digits = *digits;
      return {};
    }
  }
  if (format.size() >= 4 && format.starts_with("ts") && format[3] == ':') {
    if (auto digits = unit_digits(format[2])) {
      field.kind = kTimestamp;
      field.digits = *digits;
      field.zoned = format.size() > 4;
      return {};
    }
  }
  int a = 0, b = 0, width = 128, read = 0;
  const std::string text(format);
  if (format.starts_with("+w:") && std::sscanf(text.c_str(), "+w:%d%n", &a, &read) == 1 &&
      read == static_cast<int>(text.size()) && a >= 0) {
    field.kind = kFixedList;
    field.list_size = a;
    return {};
  }
  if (format.starts_with("d:") &&
      std::sscanf(text.c_str(), "d:%d,%d%n,%d%n", &a, &b, &read, &width, &read) >= 2 &&
      read == static_cast<int>(text.size()) && width == 128) {
    field.kind = kDecimal;
    field.digits = b;
    return {};
  }
  return refuse(column, refused_type(format));
}

// The field of `schema`; `column` names it in errors (nested fields by
// their path).
Result<Field> parse_field(const ArrowSchema& schema, const std::string& column) {
  Field field;
  field.name = schema.name != nullptr ? schema.name : "";
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  if (auto kind = plain_kind(format)) field.kind = *kind;
  else KX_TRY(parse_parametrised(format, field, column));
  if (schema.dictionary != nullptr) {
    if (!is_integer(field.kind)) return refuse(column, refused_type(format));
    KX_ASSIGN_OR_RETURN(Field values, parse_field(*schema.dictionary, column));
    field.dictionary.push_back(std::move(values));
    return field;
  }
  for (int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema& child = *schema.children[i];
    const bool named = field.kind == kStruct && child.name != nullptr;
    const std::string path = named ? column + "." + child.name : column;
    KX_ASSIGN_OR_RETURN(Field parsed, parse_field(child, path));
    field.children.push_back(std::move(parsed));
  }
  if (field.kind == kMap) {
    const Field& key = field.children.at(0).children.at(0);
    const FieldKind k = key.dictionary.empty() ? key.kind : key.dictionary[0].kind;
    if (k != kString && k != kLargeString && !is_integer(k))
      return refuse(column, "a map whose keys are neither strings nor integers");
  }
  return field;
}

// ------------------------------------------------------------- Writing ---

template <typename T>
T at(const ArrowArray& a, int buffer, int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const char*>(a.buffers[buffer]) + index * sizeof(T), sizeof(T));
  return value;
}

bool bit(const void* bitmap, int64_t index) {
  return (static_cast<const uint8_t*>(bitmap)[index >> 3] >> (index & 7)) & 1;
}

bool is_null(const ArrowArray& a, int64_t physical) {
  return a.null_count != 0 && a.buffers[0] != nullptr && !bit(a.buffers[0], physical);
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

double half_to_double(uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  double v;
  if (exponent == 0) v = std::ldexp(mantissa, -24);
  else if (exponent == 31) v = mantissa != 0 ? std::nan("") : HUGE_VAL;
  else v = std::ldexp(mantissa | 0x400, exponent - 25);
  return (h & 0x8000) != 0 ? -v : v;
}

void append_date(int64_t days, std::string& out) {
  using namespace std::chrono;
  const year_month_day date{sys_days{std::chrono::days{days}}};
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                              static_cast<unsigned>(date.month()),
                              static_cast<unsigned>(date.day()));
  out.append(text, static_cast<size_t>(n));
}

// `value` units of 10^-digits seconds since midnight.
void append_time(int64_t value, int digits, std::string& out) {
  const int64_t per_second = kUnitsPerSecond[digits / 3];
  const int64_t seconds = value / per_second;
  char text[40];
  int n = std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld",
                        static_cast<long long>(seconds / 3600),
                        static_cast<long long>(seconds / 60 % 60),
                        static_cast<long long>(seconds % 60));
  if (digits > 0)
    n += std::snprintf(text + n, sizeof text - n, ".%0*lld", digits,
                       static_cast<long long>(value % per_second));
  out.append(text, static_cast<size_t>(n));
}

void append_timestamp(int64_t value, int digits, bool zoned, std::string& out) {
  const int64_t per_day = 86400 * kUnitsPerSecond[digits / 3];
  const int64_t days = floor_div(value, per_day);
  append_date(days, out);
  out.push_back('T');
  append_time(value - days * per_day, digits, out);
  if (zoned) out.push_back('Z');
}

void append_decimal(const ArrowArray& a, int64_t physical, int scale, std::string& out) {
  __int128 value;
  std::memcpy(&value, static_cast<const char*>(a.buffers[1]) + physical * 16, 16);
  unsigned __int128 magnitude = value < 0 ? -static_cast<unsigned __int128>(value) : value;
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  if (scale < 0) digits.insert(0, static_cast<size_t>(-scale), '0');
  while (scale > 0 && digits.size() <= static_cast<size_t>(scale)) digits.push_back('0');
  if (value < 0) out.push_back('-');
  for (size_t i = digits.size(); i-- > 0;) {
    out.push_back(digits[i]);
    if (scale > 0 && i == static_cast<size_t>(scale)) out.push_back('.');
  }
}

int64_t integer_at(FieldKind kind, const ArrowArray& a, int64_t physical) {
  switch (kind) {
    case kInt8: return at<int8_t>(a, 1, physical);
    case kInt16: return at<int16_t>(a, 1, physical);
    case kInt32: return at<int32_t>(a, 1, physical);
    case kUint8: return at<uint8_t>(a, 1, physical);
    case kUint16: return at<uint16_t>(a, 1, physical);
    case kUint32: return at<uint32_t>(a, 1, physical);
    default: return at<int64_t>(a, 1, physical);  // kInt64; kUint64 is read apart
  }
}

// [begin, end) of element `physical` of a string or list array, from its
// 32-bit or (`large`) 64-bit offsets.
std::pair<int64_t, int64_t> offsets_at(bool large, const ArrowArray& a, int64_t physical) {
  if (large) return {at<int64_t>(a, 1, physical), at<int64_t>(a, 1, physical + 1)};
  return {at<int32_t>(a, 1, physical), at<int32_t>(a, 1, physical + 1)};
}

std::string_view string_at(FieldKind kind, const ArrowArray& a, int64_t physical) {
  const auto [begin, end] = offsets_at(kind == kLargeString, a, physical);
  if (begin == end) return {};
  return {static_cast<const char*>(a.buffers[2]) + begin, static_cast<size_t>(end - begin)};
}

// [begin, end) of a list's elements in its child array.
std::pair<int64_t, int64_t> list_bounds(const Field& f, const ArrowArray& a, int64_t physical) {
  if (f.kind == kFixedList) return {physical * f.list_size, (physical + 1) * f.list_size};
  return offsets_at(f.kind == kLargeList, a, physical);
}

class RowWriter {
 public:
  explicit RowWriter(std::string& out) : json_(out) {}

  // Writes row `index` of `batch` as the object of its columns.
  void row(const std::vector<Field>& columns, const ArrowArray& batch, int64_t index) {
    json_.begin_object();
    for (size_t c = 0; c < columns.size(); ++c) {
      json_.key(columns[c].name);
      value(columns[c], *batch.children[c], batch.offset + index);
    }
    json_.end_object();
  }

  // Writes element `index` of `a` (not counting its offset).
  void value(const Field& f, const ArrowArray& a, int64_t index) {
    const int64_t i = a.offset + index;
    if (f.kind == kNull || is_null(a, i)) {
      json_.null();
      return;
    }
    if (!f.dictionary.empty()) {
      value(f.dictionary[0], *a.dictionary, integer_at(f.kind, a, i));
      return;
    }
    switch (f.kind) {
      case kBool: json_.boolean(bit(a.buffers[1], i)); return;
      case kUint64: json_.uint(at<uint64_t>(a, 1, i)); return;
      case kHalf: json_.number(half_to_double(at<uint16_t>(a, 1, i))); return;
      case kFloat: json_.number(at<float>(a, 1, i)); return;
      case kDouble: json_.number(at<double>(a, 1, i)); return;
      case kString:
      case kLargeString: json_.string(string_at(f.kind, a, i)); return;
      case kList:
      case kLargeList:
      case kFixedList: {
        const auto [begin, end] = list_bounds(f, a, i);
        json_.begin_array();
        for (int64_t k = begin; k < end; ++k) value(f.children[0], *a.children[0], k);
        json_.end_array();
        return;
      }
      case kStruct: {
        json_.begin_object();
        for (size_t c = 0; c < f.children.size(); ++c) {
          json_.key(f.children[c].name);
          value(f.children[c], *a.children[c], i);
        }
        json_.end_object();
        return;
      }
      case kMap: map(f, a, i); return;
      default: break;
    }
    if (is_integer(f.kind)) {
      json_.sint(integer_at(f.kind, a, i));
      return;
    }
    // The rest are strings made here.
    text_.clear();
    switch (f.kind) {
      case kDecimal: append_decimal(a, i, f.digits, text_); break;
      case kDate32: append_date(at<int32_t>(a, 1, i), text_); break;
      case kDate64: append_date(floor_div(at<int64_t>(a, 1, i), 86400000), text_); break;
      case kTime32: append_time(at<int32_t>(a, 1, i), f.digits, text_); break;
      case kTime64: append_time(at<int64_t>(a, 1, i), f.digits, text_); break;
      default: append_timestamp(at<int64_t>(a, 1, i), f.digits, f.zoned, text_); break;
    }
    json_.string(text_);
  }

 private:
  void map(const Field& f, const ArrowArray& a, int64_t i) {
    const auto [begin, end] = list_bounds(f, a, i);
    const Field& key = f.children[0].children[0];
    const Field& item = f.children[0].children[1];
    const ArrowArray& entries = *a.children[0];
    json_.begin_object();
    for (int64_t k = begin; k < end; ++k) {
      const int64_t e = entries.offset + k;
      json_.key(key_text(key, *entries.children[0], e));
      value(item, *entries.children[1], e);
    }
    json_.end_object();
  }

  std::string key_text(const Field& f, const ArrowArray& a, int64_t index) {
    const int64_t i = a.offset + index;
    if (!f.dictionary.empty())
      return key_text(f.dictionary[0], *a.dictionary, integer_at(f.kind, a, i));
    if (f.kind == kString || f.kind == kLargeString) return std::string(string_at(f.kind, a, i));
    if (f.kind == kUint64) return std::to_string(at<uint64_t>(a, 1, i));
    return std::to_string(integer_at(f.kind, a, i));
  }

  JsonWriter json_;
  std::string text_;
};

}  // namespace

ArrowRows::ArrowRows(std::vector<Field> columns) : columns_(std::move(columns)) {}
ArrowRows::ArrowRows(ArrowRows&&) noexcept = default;
ArrowRows& ArrowRows::operator=(ArrowRows&&) noexcept = default;
ArrowRows::~ArrowRows() = default;

Result<ArrowRows> ArrowRows::create(const ArrowSchema& schema) {
  if (schema.format == nullptr || std::string_view(schema.format) != "+s")
    return fail_msg("a record batch must be a struct of columns");
  std::vector<Field> columns;
  for (int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema& column = *schema.children[i];
    KX_ASSIGN_OR_RETURN(Field field,
                        parse_field(column, column.name != nullptr ? column.name : ""));
    columns.push_back(std::move(field));
  }
  return ArrowRows(std::move(columns));
}

void ArrowRows::append_lines(const ArrowArray& batch, int64_t begin, int64_t end,
                             std::string& out) const {
  for (int64_t r = begin; r < end; ++r) {
    RowWriter(out).row(columns_, batch, r);
    out.push_back('\n');
  }
}

}  // namespace kestrix
