// Skeleton of the ZIP member layer: the interface compiles; reading comes next.
#include "tolvanex/archive/zip.hpp"

#include <vector>

namespace tolvanex::archive {

struct ZipArchive::Impl {
  fsio::File file;
  std::vector<ZipEntry> entries;
};

struct ZipEntryReader::State {};

ZipArchive::ZipArchive(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ZipArchive::ZipArchive(ZipArchive&&) noexcept = default;
ZipArchive& ZipArchive::operator=(ZipArchive&&) noexcept = default;
ZipArchive::~ZipArchive() = default;

Result<ZipArchive> ZipArchive::open(fsio::File) {
  return TolvanexError::zip_unsupported("reader not built yet");
}
std::size_t ZipArchive::entry_count() const { return impl_->entries.size(); }
const ZipEntry& ZipArchive::entry(std::size_t index) const { return impl_->entries[index]; }
Result<ZipEntryReader> ZipArchive::open_entry(std::size_t) const {
  return TolvanexError::zip_unsupported("reader not built yet");
}

ZipEntryReader::ZipEntryReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
ZipEntryReader::ZipEntryReader(ZipEntryReader&&) noexcept = default;
ZipEntryReader& ZipEntryReader::operator=(ZipEntryReader&&) noexcept = default;
ZipEntryReader::~ZipEntryReader() = default;
Result<std::size_t> ZipEntryReader::read(char*, std::size_t) { return std::size_t{0}; }

}  // namespace tolvanex::archive
