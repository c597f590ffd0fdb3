// Icepak archives (.tzr): a tar stream, stored plain or wrapped in gzip, that holds an Icepak
// project directory. One forward pass over the tar headers lists the entries with their type
// and size, counts files and directories, sums the sizes, finds the project directory that
// holds everything and notes the job and model files; entry contents are passed over.
#include <optional>
#include <string>
#include <string_view>

#include "tolvanex/codec/codec.hpp"
#include "tolvanex/container/tar.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/saturating.hpp"
#include "tolvanex/text/text.hpp"
#include "tolvanex/text/utf8.hpp"

namespace tolvanex::parsers::icepak {
namespace {

// The summary as entries arrive, in archive order.
class Tally {
 public:
  Tally(bool gzip, std::uint64_t byte_budget) : budget_(byte_budget) { summary_.gzip_compressed = gzip; }

  void add(const container::TarEntry& entry);
  bool empty() const { return summary_.entry_count == 0; }
  IcepakTzrSummary finish() &&;

 private:
  IcepakTzrSummary summary_;
  std::uint64_t budget_;
  std::uint64_t listed_bytes_ = 0;
  // The first path component that every entry shares so far: unset before the first entry,
  // empty once two entries disagree or one has no "/".
  std::optional<std::string> project_;
};

Status read_entries(ByteSource& tar, Tally& tally);

}  // namespace

Result<IcepakTzrSummary> inspect_icepak_tzr(const std::string& path, std::uint64_t byte_budget,
                                            fsio::Interrupt* interrupt) {
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path, interrupt));
  unsigned char magic[2];
  // Read in place, the position staying at the start. What can't be read (a directory) is as
  // short as an empty file.
  const Result<std::size_t> got = file.read_at(magic, sizeof magic, 0);
  if (!got || got.value() < sizeof magic)
    return TolvanexError::message("Icepak TZR archive is too short to contain a tar stream");

  const bool gzip = magic[0] == 0x1F && magic[1] == 0x8B;
  Tally tally(gzip, byte_budget);
  FileSource plain(file);
  if (gzip) {
    codec::GzipMemberSource inflated(plain);
    TVX_TRY(read_entries(inflated, tally));
  } else {
    TVX_TRY(read_entries(plain, tally));
  }
  if (tally.empty()) return TolvanexError::message("Icepak TZR archive did not contain any tar entries");
  return std::move(tally).finish();
}

namespace {

Status read_entries(ByteSource& tar, Tally& tally) {
  container::TarReader reader(tar);
  for (;;) {
    TVX_TRY_ASSIGN(const container::TarEntry* entry, reader.next());
    if (!entry) return ok_status();
    tally.add(*entry);
  }
}

const char* type_name(char type) {
  switch (type) {
    case '0': case '\0': return "file";
    case '1': return "hard-link";
    case '2': return "symlink";
    case '5': return "directory";
    default: return "other";
  }
}

// Lossy UTF-8, "\" read as "/", and every leading "./" removed; nothing else is touched.
std::string normalise_name(std::string_view raw) {
  std::string name = text::decode_lossy(raw);
  for (char& c : name)
    if (c == '\\') c = '/';
  std::size_t start = 0;
  while (name.compare(start, 2, "./") == 0) start += 2;
  name.erase(0, start);
  return name;
}

void Tally::add(const container::TarEntry& entry) {
  std::string name = normalise_name(entry.path);
  const char type = entry.type;
  summary_.uncompressed_bytes = saturating_add(summary_.uncompressed_bytes, entry.size);
  if (type == '0' || type == '\0') ++summary_.file_count;
  if (type == '5') ++summary_.directory_count;
  ++summary_.entry_count;

  const std::string_view view(name);
  const std::string_view last = view.substr(view.rfind('/') + 1);  // npos + 1 is 0: the whole name
  if (text::ascii_iequals(last, "job")) summary_.job_file_present = true;
  if (text::ascii_iequals(last, "model")) summary_.model_file_present = true;

  const std::size_t slash = view.find('/');
  if (slash == std::string_view::npos) {
    project_.emplace();
  } else if (!project_) {
    project_.emplace(view.substr(0, slash));
  } else if (*project_ != view.substr(0, slash)) {
    project_->clear();
  }

  const std::uint64_t listed = saturating_add(listed_bytes_, name.size());
  if (listed > budget_) {
    summary_.truncated = true;
    return;
  }
  listed_bytes_ = listed;
  summary_.entries.push_back({std::move(name), type_name(type), entry.size});
}

IcepakTzrSummary Tally::finish() && {
  if (project_ && !project_->empty()) summary_.project_name = std::move(project_);
  return std::move(summary_);
}

}  // namespace
}  // namespace tolvanex::parsers::icepak
