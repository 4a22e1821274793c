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

std::unexpected<Error> fail_errno() { return fail(Error::os(errno)); }

}  // namespace kestrix
