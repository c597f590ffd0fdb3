// The wrapped deflate forms of the codec layer over streams made here with zlib: a gzip
// member as a source, read in every chunk size, and bounded zlib inflation of memory.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <tuple>

#include "tolvanex/codec/codec.hpp"

using namespace tolvanex;
using namespace std::string_literals;

namespace {

std::string text(std::size_t n) {
  std::string s;
  for (std::uint64_t i = 0; s.size() < n; ++i) s += "line " + std::to_string(i * 2654435761u % 1000003) + "\n";
  return s.substr(0, n);
}
std::string zlib_stream(const std::string& data) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()), data.size());
  return out.substr(0, size);
}
std::string le32(std::uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::uint32_t crc(const std::string& s) { return crc32(0, reinterpret_cast<const Bytef*>(s.data()), s.size()); }

// Hands out at most `step` bytes a read and notes how far it was read.
struct ChunkSource final : ByteSource {
  ChunkSource(std::string data, std::size_t step) : data(std::move(data)), step(step) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    const std::size_t n = data.copy(buffer, std::min(size, step), pos);
    return pos += n, n;
  }
  std::string data;
  std::size_t step, pos = 0;
};

// A member read to its end in `step`-byte reads from a source of `step`-byte reads: all
// that it gives, or its error's text.
std::string read_all(const std::string& file, std::size_t step) {
  ChunkSource source(file, step);
  codec::GzipMemberSource gz(source);
  std::string out, buf(step, '\0');
  for (;;) {
    auto n = gz.read(buf.data(), step);
    if (!n) return n.error().display();
    if (n.value() == 0) return out;
    out.append(buf, 0, n.value());
  }
}

TEST(Gzip, MembersInEveryChunkSize) {
  const std::string data = text(300000), z = zlib_stream(data), body = z.substr(2, z.size() - 6);
  const std::string trailer = le32(crc(data)) + le32(data.size());
  const std::string plain = "\x1f\x8b\x08\0\0\0\0\0\0\x03"s + body + trailer;
  // Every optional field: extra, name, comment and the header's own CRC-16.
  std::string fields = "\x1f\x8b\x08\x1e\0\0\0\0\0\x03\x03\0abcname\0c\0"s;
  fields += le32(crc(fields)).substr(0, 2);
  std::string corrupt = plain, bad_header_crc = fields + body + trailer;
  corrupt[1000] ^= 0x55, bad_header_crc[fields.size() - 1] ^= 1;
  const std::string header = "io error: invalid gzip header", cut = "io error: unexpected end of compressed data";
  const std::pair<std::string, std::string> cases[] = {
      {plain, data},
      {fields + body + trailer, data},
      {plain + plain, data},  // the second member is not read
      {plain + "trailing garbage", data},
      {"\x1f\x8b\x08\0\0\0\0\0\0\x03\x03\0"s + le32(0) + le32(0), ""},
      {"\x1f\x8c" + plain.substr(2), header},
      {plain.substr(0, 2) + "\x07" + plain.substr(3), header},
      {plain.substr(0, 3) + "\x20" + plain.substr(4), header},  // a reserved flag
      {bad_header_crc, header},
      {plain.substr(0, 9), cut},
      {fields.substr(0, 20), cut},  // inside the name
      {plain.substr(0, plain.size() / 2), cut},
      {plain.substr(0, plain.size() - 3), cut},  // inside the trailer
      {corrupt, "io error: invalid compressed data"},
      {plain.substr(0, plain.size() - 8) + le32(crc(data) ^ 1) + le32(data.size()), "io error: invalid checksum"},
      {plain.substr(0, plain.size() - 4) + le32(data.size() + 1), "io error: decompressed size does not match declared size"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    for (std::size_t step : {1, 7, 4096, 1 << 20})
      EXPECT_TRUE(read_all(cases[i].first, step) == cases[i].second) << "case " << i << ", step " << step;
}

TEST(Gzip, ReaderThatStopsEarlyNeverReachesTheTrailer) {
  const std::string data = text(1 << 20), z = zlib_stream(data);
  ChunkSource source("\x1f\x8b\x08\0\0\0\0\0\0\x03"s + z.substr(2, z.size() - 6) + "bad trailer", 1 << 30);
  codec::GzipMemberSource gz(source);
  std::string buf(100, '\0');
  EXPECT_EQ(gz.read(buf.data(), buf.size()).value(), 100u);
  EXPECT_EQ(buf, data.substr(0, 100));
  EXPECT_EQ(source.pos, 32u * 1024);  // one buffer's worth
}

TEST(Zlib, InflatesUpToTheLimit) {
  const std::string data = text(200000), z = zlib_stream(data);
  std::string bad_adler = z, corrupt = z;
  bad_adler.back() ^= 1, corrupt[500] ^= 0x55;
  auto inflate = [](const std::string& in, std::size_t limit) {
    auto got = codec::inflate_zlib({reinterpret_cast<const unsigned char*>(in.data()), in.size()}, limit);
    return got ? got.value() : got.error().display();
  };
  const std::tuple<std::string, std::size_t, std::string> cases[] = {
      {z, data.size() + 1, data},
      {z, data.size(), data},
      {z, 1000, data.substr(0, 1000)},
      {z.substr(0, z.size() - 2), data.size() + 1, data},  // the checksum cut short
      {z.substr(0, 1), 10, ""},
      {"", 10, ""},
      {bad_adler, data.size() + 1, "io error: invalid checksum"},
      {corrupt, data.size() + 1, "io error: invalid compressed data"},
      {"\x78\x00" + z.substr(2), 10, "io error: invalid compressed data"},  // check bits
      {"\x78\xbb" + z.substr(2), 10, "io error: invalid compressed data"},  // preset dictionary
  };
  for (const auto& [input, limit, want] : cases) EXPECT_TRUE(inflate(input, limit) == want) << input.size() << " " << limit;
  // Input that ends inside the data gives the output so far.
  const std::string got = inflate(z.substr(0, z.size() / 2), 1 << 20);
  EXPECT_GT(got.size(), 1000u);
  EXPECT_EQ(got, data.substr(0, got.size()));
}

}  // namespace
