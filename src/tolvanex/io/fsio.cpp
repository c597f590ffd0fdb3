#include "tolvanex/io/fsio.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvanex::fsio {

bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

TolvanexError nul_path_error() {
  return TolvanexError::io("file name contained an unexpected NUL byte");
}

Kind kind_of(const std::string& path, bool follow_links) {
  if (has_nul(path)) return Kind::Missing;
  struct stat st {};
  const int rc = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) return Kind::Missing;
  if (S_ISREG(st.st_mode)) return Kind::Regular;
  if (S_ISDIR(st.st_mode)) return Kind::Directory;
  if (S_ISLNK(st.st_mode)) return Kind::Link;
  return Kind::Other;
}

bool exists_no_follow(const std::string& path) {
  if (has_nul(path)) return false;
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    interrupt_ = other.interrupt_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<File> File::open_read(const std::string& path, Interrupt* interrupt) {
  if (has_nul(path)) return nul_path_error();
  int fd;
  for (;;) {
    // Opening a FIFO waits for its writer, for ever if none comes; a signal breaks the wait
    // off, and the caller's handlers say whether to go on waiting.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) break;
    if (interrupt) TVX_TRY(interrupt->poll());
  }
  if (fd < 0) return TolvanexError::io_errno(errno);
  return File(fd, interrupt);
}

Result<std::size_t> File::read(void* buffer, std::size_t size) {
  for (;;) {
    TVX_TRY(poll());
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return TolvanexError::io_errno(errno);
  }
}

Result<std::size_t> File::read_at(void* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < size) {
    TVX_TRY(poll());
    const ssize_t n = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return TolvanexError::io_errno(errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

Result<std::uint64_t> File::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return TolvanexError::io_errno(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

Status File::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
    return TolvanexError::io_errno(EINVAL);
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return TolvanexError::io_errno(errno);
  return ok_status();
}

bool File::is_regular() const { return regular_size().has_value(); }

std::optional<std::uint64_t> File::regular_size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

Result<std::uint64_t> File::skip(std::uint64_t count) {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return TolvanexError::io_errno(errno);
  const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0) return TolvanexError::io_errno(errno);
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const auto here = static_cast<std::uint64_t>(pos);
  const std::uint64_t moved = here >= size ? 0 : std::min(count, size - here);
  if (moved) TVX_TRY(seek(here + moved));
  return moved;
}

}  // namespace tolvanex::fsio
