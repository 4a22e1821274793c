#include "error.h"

#include <cerrno>
#include <cstring>

namespace kestrix {

Error Error::os(int errnum) {
  Error e(std::string(std::strerror(errnum)) + " (os error " + std::to_string(errnum) + ")");
  e.errno_ = errnum;
  return e;
}

Error Error::msg(std::string text) { return Error(std::move(text)); }

Error Error::fault(std::string text) {
  Error e(std::move(text));
  e.fault_ = true;
  return e;
}

Error&& Error::context(std::string text) && {
  chain_.push_back(std::move(text));
  return std::move(*this);
}

Error& Error::context(std::string text) & {
  chain_.push_back(std::move(text));
  return *this;
}

Error&& Error::about(std::string_view path) && {
  if (path_.empty()) path_.assign(path);
  return std::move(*this);
}

Error& Error::about(std::string_view path) & {
  if (path_.empty()) path_.assign(path);
  return *this;
}

std::unexpected<Error> fail_errno() { return fail(Error::os(errno)); }

std::unexpected<Error> fail_errno(std::string_view path) {
  return fail(Error::os(errno).about(path));
}

}  // namespace kestrix
