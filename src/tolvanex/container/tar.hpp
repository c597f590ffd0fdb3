// The tar member layer: reads a tar stream header by header from a ByteSource and hands back
// each member's path, type byte and size, passing over member data without reading it.
//
// A tar stream is a run of 512-byte header blocks, each followed by its member's data padded
// to a multiple of 512. The reader follows these rules:
//   - One all-zero header block ends the archive, and so does the end of the stream exactly
//     where a header is due; any other early end is an error.
//   - The checksum is the sum of the header's bytes taken unsigned, its own field counted as
//     spaces; a sum of signed bytes is refused.
//   - Numeric fields are octal text up to the first NUL with white space around it ignored,
//     or, when the first byte has its high bit set, base-256: the field's last eight bytes.
//   - Under ustar or GNU magic, pax extended headers ("x"), GNU long names ("L") and long
//     links ("K") describe the next member and are consumed; under any other magic they are
//     members like any other. A pax global header ("g") is always handed back.
//   - A member's size is its own header's size field (the real-size field of a GNU sparse
//     member); a pax "size" record only says how much data to pass over.
//   - A member's path: a GNU long name less one trailing NUL, else the first well-formed pax
//     "path", else a ustar prefix, "/" and the name, else the name.
//
// No buffer is sized from a header, and no path is held here: a path goes to the caller's
// sink as its bytes arrive (a long name or pax "path" may be far longer than anything a
// caller keeps), and a pax header is parsed as it streams, keeping only its "size". The source is never
// asked for bytes past the next header block, so a gzip member whose tar ends at its zero
// block (and has more after it) is not read to its trailer. Errors are Io errors
// with this layer's own texts (e.g. "tar header checksum mismatch"), or the source's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "tolvanex/error.hpp"
#include "tolvanex/io/byte_source.hpp"

namespace tolvanex::container {

// Receives member paths, raw bytes, in pieces. A path that a later header overrides (a pax
// "path" followed by a GNU long name, or a pax record that turns out malformed) is dropped by
// beginning another: when `next` hands back a member, the sink has seen that member's path
// since its last `restart`, and nothing else.
class TarPathSink {
 public:
  virtual void restart() = 0;
  virtual void append(std::string_view bytes) = 0;

 protected:
  ~TarPathSink() = default;
};

struct TarEntry {
  char type = '0';         // the type byte of the member's own header
  std::uint64_t size = 0;  // the size its own header gives
};

class TarReader {
 public:
  // Reads from `source` and gives paths to `paths`; both must outlive the reader.
  TarReader(ByteSource& source, TarPathSink& paths);

  // Passes over the previous member's data and reads up to the next member that is handed
  // back, its path given to the sink. Returns null at the end of the archive; the entry stays
  // valid until the next call.
  Result<const TarEntry*> next();

 private:
  enum class Magic { Old, Ustar, Gnu };
  struct Pending;

  // Makes a whole header block available at `block_`; false at a clean end of the stream.
  Result<bool> read_block();
  // Passes over member data and its padding; an early end is the truncation error.
  Status skip(std::uint64_t data, std::uint64_t pad);
  static std::uint64_t padding(std::uint64_t size);
  // Hands `count` bytes of member data, as they arrive, to `sink`.
  template <class Sink>
  Status stream(std::uint64_t count, Sink&& sink);
  Status read_sparse_extensions();

  ByteSource& source_;
  TarPathSink& paths_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
  const char* block_ = nullptr;
  std::uint64_t data_to_skip_ = 0;  // the last member's data, passed over on the next call
  bool done_ = false;
  TarEntry entry_;
};

}  // namespace tolvanex::container
