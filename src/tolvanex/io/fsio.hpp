// Read-only file access on raw path bytes through POSIX calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tolvanex/error.hpp"
#include "tolvanex/io/interrupt.hpp"

namespace tolvanex::fsio {

// A path holding a NUL byte names no file; it must never be cut short at the NUL.
bool has_nul(std::string_view path);
TolvanexError nul_path_error();

// Link only when links are not followed.
enum class Kind { Missing, Regular, Directory, Link, Other };

// The kind of the entry at `path`; following symbolic links or not. Any failure is Missing.
Kind kind_of(const std::string& path, bool follow_links);
// True when any entry (a dangling link included) exists at `path`.
bool exists_no_follow(const std::string& path);

class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : fd_(other.fd_), interrupt_(other.interrupt_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  ~File();

  // Opens read-only; errors are io errors with the OS text. With an `interrupt` (which must
  // outlive the file), an open that waits (a FIFO without a writer) and every read ask it, the
  // reads before they start and after a signal broke them off, and end with its error.
  static Result<File> open_read(const std::string& path, Interrupt* interrupt = nullptr);
  // Takes over an open descriptor (one received from another process).
  static File adopt(int fd) { return File(fd, nullptr); }

  // Reads up to `size` bytes; 0 at end of file. Retries on EINTR.
  Result<std::size_t> read(void* buffer, std::size_t size);
  // Reads up to `size` bytes at `offset`, looping until `size` or end of file.
  Result<std::size_t> read_at(void* buffer, std::size_t size, std::uint64_t offset);
  // The interrupt's own question, for a layer that works on this file's bytes between reads.
  Status poll() { return interrupt_ ? interrupt_->poll() : ok_status(); }
  Result<std::uint64_t> size() const;
  // Moves the read position to `offset` from the start.
  Status seek(std::uint64_t offset);
  bool is_regular() const;
  // The size of a regular file; none for anything else, or when the system cannot tell.
  std::optional<std::uint64_t> regular_size() const;
  // For a regular file: seeks forward by up to `count` bytes, never past the end, so that a
  // skip beyond the end shows as a short one; returns how far it moved.
  Result<std::uint64_t> skip(std::uint64_t count);
  int fd() const { return fd_; }

 private:
  File(int fd, Interrupt* interrupt) : fd_(fd), interrupt_(interrupt) {}
  int fd_ = -1;
  Interrupt* interrupt_ = nullptr;
};

}  // namespace tolvanex::fsio
