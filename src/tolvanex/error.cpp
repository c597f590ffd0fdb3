#include "tolvanex/error.hpp"

#include <cstring>

namespace tolvanex {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

TolvanexError TolvanexError::io_errno(int err) { return {ErrorKind::Io, os_error_text(err)}; }

TolvanexError TolvanexError::json_at(const std::string& message, std::uint64_t line,
                                     std::uint64_t column) {
  return {ErrorKind::Json,
          message + " at line " + std::to_string(line) + " column " + std::to_string(column)};
}

std::string TolvanexError::display() const {
  switch (kind_) {
    case ErrorKind::UnsupportedFormat: return "unsupported file format for " + payload_;
    case ErrorKind::Io: return "io error: " + payload_;
    case ErrorKind::Zip: return "zip error: " + payload_;
    case ErrorKind::Xml: return "xml error: " + payload_;
    case ErrorKind::Json: return "json error: " + payload_;
    case ErrorKind::Message: return payload_;
    case ErrorKind::Hdf5: return "hdf5 error: " + payload_;
    case ErrorKind::Interrupted: return "interrupted";
  }
  return payload_;
}

}  // namespace tolvanex
