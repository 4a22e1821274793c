// Error values for every fallible operation.
//
// An Error is a chain of messages: an innermost cause (often an operating
// system error) wrapped by zero or more context messages added by callers as
// the error travels outwards.  Only the outermost message reaches Python.
// Nothing in the library throws across module lines: functions return
// Result<T> (a std::expected) and callers add context with .context().
// An Error marked as an internal fault reports a violated invariant; the
// Python layer raises it as a BaseException-derived type.  An error may also
// name the file it concerns (about()), apart from its messages: the
// file-system layer names the file of every failing call, so that a front
// end can say which file an operating-system error is about without
// changing the messages themselves.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrix {

class Error {
 public:
  // An operating-system error, rendered as "<strerror text> (os error N)".
  static Error os(int errnum);
  // A plain message with no cause.
  static Error msg(std::string text);
  // A violated internal invariant (a programming error, not bad input).
  static Error fault(std::string text);

  // Wraps this error in a context message; the context becomes outermost.
  Error&& context(std::string text) &&;
  Error& context(std::string text) &;
  // Names the file the error concerns, unless one is named already: the
  // step closest to the failure knows the file best.
  Error&& about(std::string_view path) &&;
  Error& about(std::string_view path) &;

  // The outermost message: the last context added, else the cause's text.
  const std::string& outermost() const { return chain_.back(); }
  // Every message, innermost first.
  const std::vector<std::string>& chain() const { return chain_; }
  int os_errno() const { return errno_; }
  bool is_fault() const { return fault_; }
  // The file the error concerns; empty when none was named.
  const std::string& path() const { return path_; }

 private:
  explicit Error(std::string text) { chain_.push_back(std::move(text)); }
  std::vector<std::string> chain_;
  std::string path_;
  int errno_ = 0;
  bool fault_ = false;
};

template <typename T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }
inline std::unexpected<Error> fail_msg(std::string text) { return fail(Error::msg(std::move(text))); }
// The current errno as an error value.
std::unexpected<Error> fail_errno();
// The same, concerning the file `path`.
std::unexpected<Error> fail_errno(std::string_view path);

}  // namespace kestrix

// Returns early from the enclosing function when `expr` (a Result or Status)
// holds an error.
#define KX_TRY(expr)                                                    \
  do {                                                                  \
    auto&& kx_try_result_ = (expr);                                     \
    if (!kx_try_result_) return ::kestrix::fail(std::move(kx_try_result_).error()); \
  } while (0)

// Declares `lhs` from the value of a Result, or returns its error.
#define KX_CONCAT_INNER_(a, b) a##b
#define KX_CONCAT_(a, b) KX_CONCAT_INNER_(a, b)
#define KX_ASSIGN_OR_RETURN(lhs, expr) \
  KX_ASSIGN_OR_RETURN_IMPL_(KX_CONCAT_(kx_result_, __LINE__), lhs, expr)
#define KX_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)              \
  auto tmp = (expr);                                           \
  if (!tmp) return ::kestrix::fail(std::move(tmp).error());    \
  lhs = std::move(*tmp)
