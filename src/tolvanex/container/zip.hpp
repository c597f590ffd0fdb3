// The ZIP member layer: reads an archive's central directory over positioned reads of the
// file, lists its entries by index in directory order, opens an entry (checking encryption,
// method and local header) and streams its decompressed content with CRC-32 and size checks.
//
// Errors:
//   - ZipArchive::open and ZipArchive::open_entry fail with Zip errors: "i/o error" when the
//     file cannot be read, "invalid Zip archive: ..." for a malformed archive and
//     "unsupported Zip archive: ..." for encryption, unknown methods and spanned archives.
//   - ZipEntryReader::read fails with an Io error ("io error: ...") when the content cannot
//     be decompressed or its CRC-32 or size is wrong, and with Zip "i/o error" when the
//     archive file itself cannot be read.
//
// Accepted methods: stored (0), deflate (8), deflate64 (9), bzip2 (12), LZMA (14),
// Zstandard (93), XZ (95) and PPMd variant I revision 1 (98).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/error.hpp"
#include "tolvanex/io/fsio.hpp"

namespace tolvanex::container {

// One entry as the central directory describes it. When a name is listed more than once
// the entry sits at the first listing's index and carries the last listing's data.
struct ZipEntry {
  // Decoded name: UTF-8 with invalid sequences replaced when flag bit 11 is set, else code
  // page 437; a matching Info-ZIP Unicode Path field (0x7075) supplies it instead.
  std::string name;
  bool directory = false;  // the name ends with "/"
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;  // ZIP64 value when the 32-bit field is saturated
};

class ZipEntryReader;

class ZipArchive {
 public:
  // Takes the opened file and reads its central directory.
  static Result<ZipArchive> open(fsio::File file);

  ZipArchive(ZipArchive&&) noexcept;
  ZipArchive& operator=(ZipArchive&&) noexcept;
  ~ZipArchive();

  std::size_t entry_count() const;
  // `index` must be below entry_count().
  const ZipEntry& entry(std::size_t index) const;

  // Opens an entry for reading without a password: checks its encryption flag, its
  // compression method and its local header; no content is read yet. The reader borrows the
  // archive's file and must not outlive the archive. An index out of range is an error.
  Result<ZipEntryReader> open_entry(std::size_t index) const;
  // The checks of open_entry alone, for a reader that lists entries without reading them.
  // Local headers that lie close together are read a window at a time.
  Status check_entry(std::size_t index) const;

  struct Impl;

 private:
  explicit ZipArchive(std::unique_ptr<Impl> impl);
  // Where the entry's data begins, once the checks of open_entry have passed.
  Result<std::uint64_t> locate(std::size_t index) const;
  std::unique_ptr<Impl> impl_;
};

// The decompressed content of one entry as a pull stream. Returns 0 at the end, once the
// CRC-32 and the size have been found right; memory stays bounded whatever the entry holds.
class ZipEntryReader final : public ByteSource {
 public:
  ZipEntryReader(ZipEntryReader&&) noexcept;
  ZipEntryReader& operator=(ZipEntryReader&&) noexcept;
  ~ZipEntryReader() override;

  Result<std::size_t> read(char* buffer, std::size_t size) override;

  struct State;

 private:
  friend class ZipArchive;
  explicit ZipEntryReader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace tolvanex::container
