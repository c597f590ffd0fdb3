// The ZIP container: end-of-central-directory search, ZIP64 locator and record, central
// directory entries with their extra fields and name rules, local header checks, and the
// entry reader that runs the codec layer's decoder of the entry's method over the entry's
// bytes and checks size and CRC-32 at the end.
#include "tolvanex/container/zip.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "tolvanex/codec/codec.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::container {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;  // the buffer of a directory or entry read

constexpr std::uint32_t kEocdSig = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSig = 0x07064b50;
constexpr std::uint32_t kZip64EocdSig = 0x06064b50;
constexpr std::uint32_t kCentralSig = 0x02014b50;
constexpr std::uint32_t kLocalSig = 0x04034b50;
constexpr std::size_t kEocdSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EocdSize = 56;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kMaxComment = 0xffff;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagUtf8 = 0x0800;

constexpr std::uint16_t kExtraZip64 = 0x0001;
constexpr std::uint16_t kExtraUnicodePath = 0x7075;
constexpr std::uint16_t kExtraUnicodeComment = 0x6375;

constexpr std::uint16_t kAes = 99;  // the method of AES-encrypted entries

// The decoder of each accepted compression method.
std::optional<codec::Method> codec_method(std::uint16_t method) {
  switch (method) {
    case 0: return codec::Method::Stored;
    case 8: return codec::Method::Deflate;
    case 9: return codec::Method::Deflate64;
    case 12: return codec::Method::Bzip2;
    case 14: return codec::Method::Lzma;
    case 93: return codec::Method::Zstd;
    case 95: return codec::Method::Xz;
    case 98: return codec::Method::Ppmd;
    default: return std::nullopt;
  }
}

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t le64(const unsigned char* p) {
  return static_cast<std::uint64_t>(le32(p)) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

std::uint32_t crc_of(std::string_view bytes) {
  return static_cast<std::uint32_t>(
      crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

// The upper half of code page 437, as Unicode code points.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8,
    0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2,
    0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1,
    0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD,
    0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562,
    0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534,
    0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560,
    0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393,
    0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6,
    0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0,
    0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

std::string decode_cp437(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (unsigned char c : raw) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    const char16_t cp = kCp437High[c - 0x80];
    if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | cp >> 6));
    } else {
      out.push_back(static_cast<char>(0xE0 | cp >> 12));
      out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    }
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return out;
}

// The first extra field with the given header ID. Fields are (id, length, data); a field
// running past the block is malformed; fewer than four bytes left over are padding.
struct ExtraField {
  bool malformed = false;
  std::optional<std::string_view> data;
};
ExtraField find_extra(std::string_view extra, std::uint16_t id) {
  ExtraField found;
  std::size_t pos = 0;
  while (extra.size() - pos >= 4) {
    const auto* p = reinterpret_cast<const unsigned char*>(extra.data() + pos);
    const std::uint16_t field_id = le16(p);
    const std::size_t len = le16(p + 2);
    pos += 4;
    if (len > extra.size() - pos) {
      found.malformed = true;
      return found;
    }
    if (field_id == id && !found.data) found.data = extra.substr(pos, len);
    pos += len;
  }
  return found;
}

// An Info-ZIP Unicode Path or Comment field: version 1, CRC-32 of the raw text, UTF-8 text.
// Returns the UTF-8 text when the field is usable, nothing when absent or of another
// version, an error when its CRC-32 or its UTF-8 is wrong.
Result<std::optional<std::string>> unicode_extra(std::string_view extra, std::uint16_t id,
                                                 std::string_view raw, const char* what) {
  const ExtraField field = find_extra(extra, id);
  if (field.malformed) return TolvanexError::zip_invalid("malformed extra field");
  if (!field.data || field.data->size() < 5 || (*field.data)[0] != 1)
    return std::optional<std::string>();
  const auto* p = reinterpret_cast<const unsigned char*>(field.data->data());
  const std::string_view utf8 = field.data->substr(5);
  if (le32(p + 1) != crc_of(raw) || !text::is_valid_utf8(utf8))
    return TolvanexError::zip_invalid(std::string("Unicode ") + what +
                                      " extra field does not match the entry " + what);
  return std::optional<std::string>(std::string(utf8));
}

}  // namespace

// What the central directory says about an entry, beyond the public fields.
struct Record {
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc32 = 0;
  std::uint64_t local_offset = 0;
};

struct ZipArchive::Impl {
  fsio::File file;
  std::uint64_t file_size = 0;
  std::vector<ZipEntry> entries;
  std::vector<Record> records;
  // A stretch of the file holding local headers that lie close together, so that an archive
  // of many small entries is not checked a read per entry.
  std::vector<unsigned char> window;
  std::uint64_t window_start = 0;
};

namespace {

struct Directory {
  std::uint64_t count = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t end_limit = 0;  // the directory must end at or before this offset
};

TolvanexError spanned() { return TolvanexError::zip_unsupported("spanned archives are not supported"); }

// Finds the end-of-central-directory record (and the ZIP64 one when its locator is
// present) and returns where the central directory lies.
Result<Directory> locate_directory(fsio::File& file, std::uint64_t file_size) {
  if (file_size < kEocdSize)
    return TolvanexError::zip_invalid("end of central directory record not found");
  const std::size_t tail_len =
      static_cast<std::size_t>(std::min<std::uint64_t>(file_size, kEocdSize + kMaxComment));
  const std::uint64_t tail_start = file_size - tail_len;
  std::vector<unsigned char> tail(tail_len);
  auto got = file.read_at(tail.data(), tail_len, tail_start);
  if (!got || got.value() != tail_len) return TolvanexError::zip_io();

  // The last signature whose record and comment fit in the file.
  std::optional<std::size_t> at;
  for (std::size_t i = tail_len - kEocdSize + 1; i-- > 0;) {
    if (le32(&tail[i]) == kEocdSig && i + kEocdSize + le16(&tail[i + 20]) <= tail_len) {
      at = i;
      break;
    }
  }
  if (!at) return TolvanexError::zip_invalid("end of central directory record not found");
  const unsigned char* e = &tail[*at];
  const std::uint64_t eocd_pos = tail_start + *at;

  Directory dir;
  dir.count = le16(e + 10);
  dir.size = le32(e + 12);
  dir.offset = le32(e + 16);
  dir.end_limit = eocd_pos;
  const bool single_disk = le16(e + 4) == 0 && le16(e + 6) == 0 && le16(e + 8) == le16(e + 10);

  // A ZIP64 locator sits right before the record.
  unsigned char loc[kZip64LocatorSize];
  bool have_locator = false;
  if (eocd_pos >= kZip64LocatorSize) {
    if (*at >= kZip64LocatorSize) {
      std::memcpy(loc, e - kZip64LocatorSize, kZip64LocatorSize);
    } else {
      auto n = file.read_at(loc, kZip64LocatorSize, eocd_pos - kZip64LocatorSize);
      if (!n || n.value() != kZip64LocatorSize) return TolvanexError::zip_io();
    }
    have_locator = le32(loc) == kZip64LocatorSig;
  }
  if (!have_locator) {
    if (!single_disk) return spanned();
  } else {
    if (le32(loc + 4) != 0 || le32(loc + 16) > 1) return spanned();
    const std::uint64_t rec_pos = le64(loc + 8);
    if (rec_pos > eocd_pos - kZip64LocatorSize ||
        eocd_pos - kZip64LocatorSize - rec_pos < kZip64EocdSize)
      return TolvanexError::zip_invalid("ZIP64 end of central directory record not found");
    unsigned char rec[kZip64EocdSize];
    auto n = file.read_at(rec, kZip64EocdSize, rec_pos);
    if (!n || n.value() != kZip64EocdSize) return TolvanexError::zip_io();
    if (le32(rec) != kZip64EocdSig)
      return TolvanexError::zip_invalid("ZIP64 end of central directory record not found");
    if (le32(rec + 16) != 0 || le32(rec + 20) != 0 || le64(rec + 24) != le64(rec + 32))
      return spanned();
    dir.count = le64(rec + 32);
    dir.size = le64(rec + 40);
    dir.offset = le64(rec + 48);
    dir.end_limit = rec_pos;
  }
  if (dir.offset > dir.end_limit || dir.size > dir.end_limit - dir.offset)
    return TolvanexError::zip_invalid("central directory lies outside the archive");
  if (dir.count > dir.size / kCentralSize)
    return TolvanexError::zip_invalid("central directory entry count is inconsistent");
  return dir;
}

// Any failure to read the directory's bytes is the archive's own "i/o error".
Status read_directory(ZipArchive::Impl& impl, const Directory& dir) {
  FileRangeSource range(impl.file, dir.offset, dir.offset + dir.size);
  codec::Input cd(range, kReadChunk);
  auto take = [&cd](std::size_t n) -> Result<const unsigned char*> {
    auto p = cd.take(n);
    if (!p) return TolvanexError::zip_io();
    return p;
  };
  // The entries by decoded name, for names listed more than once: open addressing over the
  // entry indexes (plus one; 0 is a free slot), so that no name is copied or allocated again.
  std::vector<std::uint32_t> slots;
  // The count is the file's word: room for the first entries only, the rest as they prove real.
  impl.entries.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(dir.count, 1 << 16)));
  impl.records.reserve(impl.entries.capacity());
  const auto index_of = [&](const std::string& name) -> std::uint32_t& {
    if (impl.entries.size() * 2 >= slots.size()) {
      slots.assign(std::max<std::size_t>(64, slots.size() * 2), 0);
      for (std::size_t i = 0; i < impl.entries.size(); ++i) {
        std::size_t at = std::hash<std::string>{}(impl.entries[i].name) & (slots.size() - 1);
        while (slots[at] != 0) at = (at + 1) & (slots.size() - 1);
        slots[at] = static_cast<std::uint32_t>(i + 1);
      }
    }
    std::size_t at = std::hash<std::string>{}(name) & (slots.size() - 1);
    while (slots[at] != 0 && impl.entries[slots[at] - 1].name != name) at = (at + 1) & (slots.size() - 1);
    return slots[at];
  };
  const TolvanexError malformed = TolvanexError::zip_invalid("malformed central directory entry");
  for (std::uint64_t i = 0; i < dir.count; ++i) {
    TVX_TRY_ASSIGN(const unsigned char* h, take(kCentralSize));
    if (!h || le32(h) != kCentralSig) return malformed;
    Record rec;
    ZipEntry entry;
    rec.flags = le16(h + 8);
    rec.method = le16(h + 10);
    rec.crc32 = le32(h + 16);
    entry.compressed_size = le32(h + 20);
    entry.uncompressed_size = le32(h + 24);
    const std::size_t name_len = le16(h + 28);
    const std::size_t extra_len = le16(h + 30);
    const std::size_t comment_len = le16(h + 32);
    std::uint32_t disk = le16(h + 34);
    rec.local_offset = le32(h + 42);

    TVX_TRY_ASSIGN(const unsigned char* v, take(name_len + extra_len + comment_len));
    if (!v) return malformed;
    const std::string_view raw_name(reinterpret_cast<const char*>(v), name_len);
    const std::string_view extra(reinterpret_cast<const char*>(v + name_len), extra_len);
    const std::string_view comment(reinterpret_cast<const char*>(v + name_len + extra_len),
                                   comment_len);

    // ZIP64 extra field: 64-bit values for the saturated fields, in this order.
    const bool need_usize = entry.uncompressed_size == 0xffffffffu;
    const bool need_csize = entry.compressed_size == 0xffffffffu;
    const bool need_offset = rec.local_offset == 0xffffffffu;
    const bool need_disk = disk == 0xffffu;
    if (need_usize || need_csize || need_offset || need_disk) {
      const ExtraField z64 = find_extra(extra, kExtraZip64);
      if (z64.malformed) return TolvanexError::zip_invalid("malformed extra field");
      if (z64.data) {
        const std::size_t want = 8 * (need_usize + need_csize + need_offset) + 4 * need_disk;
        if (z64.data->size() < want) return TolvanexError::zip_invalid("malformed ZIP64 extra field");
        const auto* p = reinterpret_cast<const unsigned char*>(z64.data->data());
        if (need_usize) entry.uncompressed_size = le64(p), p += 8;
        if (need_csize) entry.compressed_size = le64(p), p += 8;
        if (need_offset) rec.local_offset = le64(p), p += 8;
        if (need_disk) disk = le32(p);
      }
    }
    if (disk != 0) return spanned();

    TVX_TRY_ASSIGN(auto unicode_name, unicode_extra(extra, kExtraUnicodePath, raw_name, "path"));
    TVX_TRY_ASSIGN(auto unicode_comment,
                   unicode_extra(extra, kExtraUnicodeComment, comment, "comment"));
    (void)unicode_comment;  // only checked: comments are not reported
    if (unicode_name)
      entry.name = std::move(*unicode_name);
    else if (rec.flags & kFlagUtf8)
      entry.name = text::decode_lossy(raw_name);
    else
      entry.name = decode_cp437(raw_name);
    entry.directory = !entry.name.empty() && entry.name.back() == '/';

    // A name listed again keeps its first place and takes the later listing's data.
    std::uint32_t& slot = index_of(entry.name);
    if (slot == 0) {
      if (impl.entries.size() == UINT32_MAX - 1) return TolvanexError::zip_unsupported("too many entries");
      impl.entries.push_back(std::move(entry));
      impl.records.push_back(rec);
      slot = static_cast<std::uint32_t>(impl.entries.size());
    } else {
      ZipEntry& kept = impl.entries[slot - 1];
      kept.compressed_size = entry.compressed_size;
      kept.uncompressed_size = entry.uncompressed_size;
      impl.records[slot - 1] = rec;
    }
  }
  auto rest = cd.peek();
  if (!rest) return TolvanexError::zip_io();
  if (!rest.value().empty())
    return TolvanexError::zip_invalid("central directory size does not match its entries");
  return ok_status();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// ZipArchive

ZipArchive::ZipArchive(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ZipArchive::ZipArchive(ZipArchive&&) noexcept = default;
ZipArchive& ZipArchive::operator=(ZipArchive&&) noexcept = default;
ZipArchive::~ZipArchive() = default;

Result<ZipArchive> ZipArchive::open(fsio::File file) {
  try {
    auto impl = std::make_unique<Impl>();
    impl->file = std::move(file);
    auto size = impl->file.size();
    if (!size) return TolvanexError::zip_io();
    impl->file_size = size.value();
    TVX_TRY_ASSIGN(const Directory dir, locate_directory(impl->file, impl->file_size));
    TVX_TRY(read_directory(*impl, dir));
    return ZipArchive(std::move(impl));
  } catch (const std::bad_alloc&) {
    return TolvanexError::zip_unsupported("central directory too large for available memory");
  }
}

std::size_t ZipArchive::entry_count() const { return impl_->entries.size(); }
const ZipEntry& ZipArchive::entry(std::size_t index) const { return impl_->entries[index]; }

// ---------------------------------------------------------------------------------------
// ZipEntryReader

struct ZipEntryReader::State {
  State(fsio::File& file, std::uint64_t begin, const Record& rec, const ZipEntry& entry)
      : range(file, begin, begin + entry.compressed_size),
        input(range, kReadChunk),
        decoder(codec::make_decoder(*codec_method(rec.method), input, entry.uncompressed_size)),
        size(entry.uncompressed_size),
        expected_crc(rec.crc32) {}

  FileRangeSource range;
  codec::Input input;
  std::unique_ptr<codec::Decoder> decoder;
  std::uint64_t size;
  std::uint32_t expected_crc;
  std::uint64_t produced = 0;
  std::uint32_t crc = 0;
  bool finished = false;
  std::optional<TolvanexError> failure;

  Result<std::size_t> read(unsigned char* out, std::size_t size);
  TolvanexError fail(TolvanexError error) {
    failure = error;
    return error;
  }
};

Result<std::uint64_t> ZipArchive::locate(std::size_t index) const {
  if (index >= impl_->records.size()) return TolvanexError::zip_invalid("no entry with this index");
  Impl& impl = *impl_;
  const Record& rec = impl.records[index];
  const ZipEntry& entry = impl.entries[index];
  if ((rec.flags & kFlagEncrypted) || rec.method == kAes)
    return TolvanexError::zip_unsupported("encrypted entries are not supported");
  if (!codec_method(rec.method))
    return TolvanexError::zip_unsupported("compression method " + std::to_string(rec.method) +
                                          " is not supported");
  const std::uint64_t at = rec.local_offset;
  if (at > impl.file_size || impl.file_size - at < kLocalSize)
    return TolvanexError::zip_invalid("local file header not found");
  if (at < impl.window_start || at + kLocalSize > impl.window_start + impl.window.size()) {
    // The window reaches as far as the headers of the entries that follow this one in the
    // directory, as long as they come later in the file and close by.
    constexpr std::uint64_t kWindow = 64 * 1024;
    std::uint64_t end = at + kLocalSize;
    for (std::size_t next = index + 1; next < impl.records.size(); ++next) {
      const std::uint64_t offset = impl.records[next].local_offset;
      if (offset < end - kLocalSize || offset > impl.file_size - kLocalSize || offset + kLocalSize - at > kWindow) break;
      end = offset + kLocalSize;
    }
    impl.window.resize(static_cast<std::size_t>(end - at));
    impl.window_start = at;
    auto got = impl.file.read_at(impl.window.data(), impl.window.size(), at);
    if (!got || got.value() != impl.window.size()) {
      impl.window.clear();
      return TolvanexError::zip_io();
    }
  }
  const unsigned char* h = impl.window.data() + (at - impl.window_start);
  if (le32(h) != kLocalSig) return TolvanexError::zip_invalid("local file header not found");
  const std::uint64_t data_start = at + kLocalSize + le16(h + 26) + le16(h + 28);
  if (data_start > impl.file_size || entry.compressed_size > impl.file_size - data_start)
    return TolvanexError::zip_invalid("entry data extends beyond the end of the archive");
  return data_start;
}

Status ZipArchive::check_entry(std::size_t index) const {
  TVX_TRY(locate(index));
  return ok_status();
}

Result<ZipEntryReader> ZipArchive::open_entry(std::size_t index) const {
  TVX_TRY_ASSIGN(const std::uint64_t data_start, locate(index));
  try {
    return ZipEntryReader(std::make_unique<ZipEntryReader::State>(impl_->file, data_start, impl_->records[index],
                                                                  impl_->entries[index]));
  } catch (const std::bad_alloc&) {
    return codec::no_memory();
  }
}

ZipEntryReader::ZipEntryReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
ZipEntryReader::ZipEntryReader(ZipEntryReader&&) noexcept = default;
ZipEntryReader& ZipEntryReader::operator=(ZipEntryReader&&) noexcept = default;
ZipEntryReader::~ZipEntryReader() = default;

Result<std::size_t> ZipEntryReader::read(char* buffer, std::size_t size) {
  try {
    return state_->read(reinterpret_cast<unsigned char*>(buffer), size);
  } catch (const std::bad_alloc&) {
    return state_->fail(codec::no_memory());
  }
}

Result<std::size_t> ZipEntryReader::State::read(unsigned char* out, std::size_t cap) {
  if (failure) return *failure;
  // A few compressed bytes may decode to much: the interrupt is asked per piece handed out,
  // not only per read of the archive.
  TVX_TRY(range.poll());
  if (finished || cap == 0) return std::size_t{0};
  for (;;) {
    // Never ask for more than the declared size; once it is reached, one more byte is
    // asked for to learn whether the stream really ends there.
    const std::uint64_t room = size - produced;
    const std::size_t want = room == 0 ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(cap, room));
    bool ended = false;
    auto got = decoder->decode(out, want, ended);
    if (!got) return fail(std::move(got).error());
    const std::size_t n = got.value();
    if (room == 0 && n > 0) return fail(TolvanexError::io(codec::kBadSize));
    produced += n;
    crc = static_cast<std::uint32_t>(crc32_z(crc, out, n));
    if (ended) {
      if (produced != size) return fail(TolvanexError::io(codec::kBadSize));
      if (crc != expected_crc) return fail(TolvanexError::io(codec::kBadChecksum));
      finished = true;
      decoder.reset();  // release the decoder's memory as soon as the stream is done
      return n;
    }
    if (n > 0) return n;
  }
}

}  // namespace tolvanex::container
