#include "tolvanex/container/tar.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace tolvanex::container {
namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kBufferSize = 64 * 1024;

// Header fields: offset and length.
constexpr std::size_t kNameAt = 0, kNameLen = 100;
constexpr std::size_t kSizeAt = 124, kSizeLen = 12;
constexpr std::size_t kChecksumAt = 148, kChecksumLen = 8;
constexpr std::size_t kTypeAt = 156;
constexpr std::size_t kMagicAt = 257;  // magic (6 bytes) and version (2 bytes)
constexpr std::size_t kPrefixAt = 345, kPrefixLen = 155;
// A GNU sparse header: "more map in extension blocks" flag and the member's real size; an
// extension block holds its own flag after 21 map entries.
constexpr std::size_t kGnuExtendedAt = 482;
constexpr std::size_t kGnuRealSizeAt = 483, kGnuRealSizeLen = 12;
constexpr std::size_t kExtensionExtendedAt = 504;

constexpr const char* kTruncatedHeader = "tar archive ended inside a header block";
constexpr const char* kTruncatedData = "tar archive ended inside entry data";

TolvanexError tar_error(const char* text) { return TolvanexError::io(text); }

std::string_view up_to_nul(const char* field, std::size_t len) {
  return {field, static_cast<std::size_t>(std::find(field, field + len, '\0') - field)};
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A numeric field: octal text up to the first NUL, white space around it ignored; or, when
// base-256 is allowed and the first byte has its high bit set, the last eight bytes as a
// big-endian number. Null for an empty or non-octal field.
std::optional<std::uint64_t> parse_number(const char* field, std::size_t len, bool base256) {
  if (base256 && (static_cast<unsigned char>(field[0]) & 0x80)) {
    std::uint64_t value = 0;
    for (std::size_t i = len - 8; i < len; ++i) value = (value << 8) | static_cast<unsigned char>(field[i]);
    return value;
  }
  std::string_view text = up_to_nul(field, len);
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;  // at most 12 octal digits: no overflow
  for (char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    value = value * 8 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

bool all_zero(const char* block) {
  unsigned char any = 0;
  for (std::size_t i = 0; i < kBlock; ++i) any |= static_cast<unsigned char>(block[i]);
  return any == 0;
}

// The header's bytes summed unsigned, the checksum field counted as eight spaces.
std::uint64_t header_sum(const char* block) {
  std::uint64_t sum = 8 * ' ';
  for (std::size_t i = 0; i < kBlock; ++i)
    if (i < kChecksumAt || i >= kChecksumAt + kChecksumLen) sum += static_cast<unsigned char>(block[i]);
  return sum;
}

// Appends a decimal digit to `value`; false for a non-digit or an overflow.
bool push_digit(std::uint64_t& value, char c) {
  if (c < '0' || c > '9') return false;
  const auto digit = static_cast<std::uint64_t>(c - '0');
  if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
  value = value * 10 + digit;
  return true;
}

// Pax extended records, "<length> <key>=<value>\n", parsed as their bytes arrive. Only the
// first well-formed "path" (a non-empty one: an empty value unsets a key) and "size" (decimal
// digits) count. A malformed record ends the parse, since nothing after it can be framed.
// A "path" value streams to `paths` (none when a GNU long name already gave the path), and
// `path` tells whether the sink ended up holding one.
class PaxRecords {
 public:
  explicit PaxRecords(TarPathSink* paths) : paths_(paths) {}

  bool path = false;
  std::optional<std::uint64_t> size;

  void feed(std::string_view chunk) {
    while (!chunk.empty() && state_ != State::Broken) {
      if (state_ == State::Value) {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(value_left_, chunk.size()));
        take_value(chunk.substr(0, take));
        chunk.remove_prefix(take);
        seen_ += take;
        value_left_ -= take;
        if (value_left_ == 0) state_ = State::Newline;
        continue;
      }
      step(chunk.front());
      chunk.remove_prefix(1);
    }
  }

 private:
  enum class State { Length, Key, Value, Newline, Broken };
  enum class Key { Path, Size, Other };

  void step(char c) {
    ++seen_;
    switch (state_) {
      case State::Length:
        if (push_digit(length_, c)) {
          digits_ = true;
        } else if (c == ' ' && digits_ && seen_ < length_) {
          state_ = State::Key;
          key_.clear();
        } else {
          state_ = State::Broken;
        }
        break;
      case State::Key:
        if (seen_ >= length_) {
          state_ = State::Broken;  // no room left for the value's line feed
        } else if (c != '=') {
          if (key_.size() < 5) key_ += c;  // longer keys are neither "path" nor "size"
          else key_ = "-----";
        } else {
          key_kind_ = key_ == "path" && !path && paths_ ? Key::Path : key_ == "size" && !size ? Key::Size : Key::Other;
          if (key_kind_ == Key::Path) paths_->restart();
          path_bytes_ = 0;
          number_ = 0;
          number_ok_ = true;
          has_digits_ = false;
          value_left_ = length_ - seen_ - 1;
          state_ = value_left_ ? State::Value : State::Newline;
        }
        break;
      case State::Newline:
        if (seen_ != length_ || c != '\n') {
          state_ = State::Broken;
          break;
        }
        if (key_kind_ == Key::Path && path_bytes_ > 0) path = true;
        if (key_kind_ == Key::Size && number_ok_ && has_digits_) size = number_;
        state_ = State::Length;
        length_ = seen_ = 0;
        digits_ = false;
        break;
      case State::Value:
      case State::Broken:
        break;
    }
  }

  void take_value(std::string_view bytes) {
    if (key_kind_ == Key::Path) {
      paths_->append(bytes);
      path_bytes_ += bytes.size();
    } else if (key_kind_ == Key::Size) {
      for (char c : bytes) {
        if (!push_digit(number_, c)) {
          number_ok_ = false;
          return;
        }
        has_digits_ = true;
      }
    }
  }

  State state_ = State::Length;
  std::uint64_t length_ = 0;  // the record's declared length
  std::uint64_t seen_ = 0;    // bytes of the record consumed so far
  bool digits_ = false;
  std::string key_;  // at most five bytes
  Key key_kind_ = Key::Other;
  std::uint64_t value_left_ = 0;
  TarPathSink* paths_;
  std::uint64_t path_bytes_ = 0;  // of the "path" value streaming now
  std::uint64_t number_ = 0;
  bool number_ok_ = true;
  bool has_digits_ = false;
};

}  // namespace

// What consumed headers say about the next member.
struct TarReader::Pending {
  std::optional<PaxRecords> pax;
  bool long_name = false;
  bool long_link = false;
  bool any() const { return pax || long_name || long_link; }
};

TarReader::TarReader(ByteSource& source, TarPathSink& paths)
    : source_(source), paths_(paths), buffer_(std::make_unique<char[]>(kBufferSize)) {}

// Reads stop at the end of the block: nothing past what the archive needs is requested.
Result<bool> TarReader::read_block() {
  if (end_ - begin_ < kBlock) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < kBlock) {
      TVX_TRY_ASSIGN(const std::size_t n, source_.read(buffer_.get() + end_, kBlock - end_));
      if (n == 0) break;
      end_ += n;
    }
    if (end_ == 0) return false;
    if (end_ < kBlock) return tar_error(kTruncatedHeader);
  }
  block_ = buffer_.get() + begin_;
  begin_ += kBlock;
  return true;
}

std::uint64_t TarReader::padding(std::uint64_t size) { return (kBlock - size % kBlock) % kBlock; }

// Data and padding are passed over apart, so a size near 2^64 cannot overflow. A header is
// due after them, so a skip that fits the buffer reads that block in the same request.
Status TarReader::skip(std::uint64_t data, std::uint64_t pad) {
  const auto from_data = static_cast<std::size_t>(std::min<std::uint64_t>(data, end_ - begin_));
  begin_ += from_data;
  data -= from_data;
  const auto from_pad = static_cast<std::size_t>(std::min<std::uint64_t>(pad, end_ - begin_));
  begin_ += from_pad;
  pad -= from_pad;
  if (data == 0 && pad == 0) return ok_status();

  begin_ = end_ = 0;
  if (data <= kBufferSize - kBlock - pad) {
    const auto want = static_cast<std::size_t>(data + pad);
    while (end_ < want) {
      TVX_TRY_ASSIGN(const std::size_t n, source_.read(buffer_.get() + end_, want + kBlock - end_));
      if (n == 0) return tar_error(kTruncatedData);
      end_ += n;
    }
    begin_ = want;
    return ok_status();
  }
  for (const std::uint64_t count : {data, pad}) {
    TVX_TRY_ASSIGN(const std::uint64_t moved, source_.skip(count));
    if (moved < count) return tar_error(kTruncatedData);
  }
  return ok_status();
}

template <class Sink>
Status TarReader::stream(std::uint64_t count, Sink&& sink) {
  while (count > 0) {
    if (begin_ == end_) {
      begin_ = end_ = 0;
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count, kBufferSize));
      TVX_TRY_ASSIGN(const std::size_t n, source_.read(buffer_.get(), want));
      if (n == 0) return tar_error(kTruncatedData);
      end_ = n;
    }
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - begin_));
    sink(std::string_view(buffer_.get() + begin_, take));
    begin_ += take;
    count -= take;
  }
  return ok_status();
}

// The map itself is not needed, only passed over: each extension block says whether
// another follows.
Status TarReader::read_sparse_extensions() {
  for (;;) {
    TVX_TRY_ASSIGN(const bool got, read_block());
    if (!got) return tar_error(kTruncatedHeader);
    if (block_[kExtensionExtendedAt] == 0) return ok_status();
  }
}

Result<const TarEntry*> TarReader::next() {
  if (done_) return nullptr;
  TVX_TRY(skip(data_to_skip_, padding(data_to_skip_)));
  data_to_skip_ = 0;

  Pending pending;
  for (;;) {
    TVX_TRY_ASSIGN(const bool got, read_block());
    if (!got || all_zero(block_)) {
      done_ = true;
      if (pending.any()) return tar_error("tar archive ended after an extended header without its entry");
      return nullptr;
    }
    const std::optional<std::uint64_t> checksum = parse_number(block_ + kChecksumAt, kChecksumLen, false);
    if (!checksum) return tar_error("tar header has an invalid checksum field");
    if (*checksum != header_sum(block_)) return tar_error("tar header checksum mismatch");

    const std::string_view magic(block_ + kMagicAt, 8);
    const Magic kind = magic == std::string_view("ustar\0" "00", 8)   ? Magic::Ustar
                       : magic == std::string_view("ustar  \0", 8) ? Magic::Gnu
                                                                     : Magic::Old;
    const char type = block_[kTypeAt];
    const std::optional<std::uint64_t> size = parse_number(block_ + kSizeAt, kSizeLen, true);
    if (!size) return tar_error("tar header has an invalid size field");

    if (kind != Magic::Old && (type == 'x' || type == 'L' || type == 'K')) {
      if (type == 'x') {
        if (pending.pax) return tar_error("tar archive has two pax extended headers for one entry");
        PaxRecords& pax = pending.pax.emplace(pending.long_name ? nullptr : &paths_);
        TVX_TRY(stream(*size, [&](std::string_view bytes) { pax.feed(bytes); }));
        TVX_TRY(skip(0, padding(*size)));
      } else if (type == 'L') {
        if (pending.long_name) return tar_error("tar archive has two GNU long names for one entry");
        pending.long_name = true;
        paths_.restart();
        // One NUL that ends the name is not part of it: a last NUL waits for what follows.
        bool held_nul = false;
        TVX_TRY(stream(*size, [&](std::string_view bytes) {
          if (held_nul) paths_.append({"", 1});
          held_nul = bytes.back() == '\0';
          paths_.append(bytes.substr(0, bytes.size() - held_nul));
        }));
        TVX_TRY(skip(0, padding(*size)));
      } else {
        if (pending.long_link) return tar_error("tar archive has two GNU long links for one entry");
        pending.long_link = true;
        TVX_TRY(skip(*size, padding(*size)));
      }
      continue;
    }

    entry_.type = type;
    entry_.size = *size;
    if (!pending.long_name && !(pending.pax && pending.pax->path)) {
      const std::string_view prefix = up_to_nul(block_ + kPrefixAt, kPrefixLen);
      paths_.restart();
      if (kind == Magic::Ustar && !prefix.empty()) {
        paths_.append(prefix);
        paths_.append("/");
      }
      paths_.append(up_to_nul(block_ + kNameAt, kNameLen));
    }
    data_to_skip_ = pending.pax && pending.pax->size ? *pending.pax->size : *size;

    if (type == 'S') {
      if (kind != Magic::Gnu) return tar_error("tar sparse entry without a GNU header");
      const std::optional<std::uint64_t> real = parse_number(block_ + kGnuRealSizeAt, kGnuRealSizeLen, true);
      if (!real) return tar_error("tar header has an invalid real-size field");
      entry_.size = *real;
      if (block_[kGnuExtendedAt] != 0) TVX_TRY(read_sparse_extensions());
    }
    return &entry_;
  }
}

}  // namespace tolvanex::container
