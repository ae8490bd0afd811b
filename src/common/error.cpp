#include "common/error.hpp"

#include <cerrno>
#include <cstring>

namespace brindlecast {

std::string os_error_text(int errno_value) {
  std::string text = std::strerror(errno_value);
  text += " (os error ";
  text += std::to_string(errno_value);
  text += ')';
  return text;
}

Error os_error(int errno_value) {
  ErrorKind kind = ErrorKind::Other;
  if (errno_value == ENOENT) kind = ErrorKind::NotFound;
  if (errno_value == EACCES || errno_value == EPERM) kind = ErrorKind::PermissionDenied;
  if (errno_value == EEXIST) kind = ErrorKind::AlreadyExists;
  return Error{kind, os_error_text(errno_value)};
}

}  // namespace brindlecast
