// Icepak archives wrapped in gzip: the input is a tar stream, compressed here so that every
// input reaches the tar reader through the gzip member source.
#include <zlib.h>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) tvx_fuzz::fail("deflateInit2");
  std::string gz(deflateBound(&z, size) + 32, '\0');
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = reinterpret_cast<Bytef*>(gz.data());
  z.avail_out = static_cast<uInt>(gz.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) tvx_fuzz::fail("deflate");
  gz.resize(z.total_out);
  deflateEnd(&z);
  tvx_fuzz::inspect_file("model.tzr", gz, tolvanex::SimFormat::IcepakTzr);
  return 0;
}
