// The ZIP layer against archives from zipfile, 7-Zip and a hand-built writer
// (tests/fixtures/make_zip_fixtures.py): entry listing and names, content of every method
// compared byte for byte, and the exact error of each broken archive or entry.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tolvanex/container/zip.hpp"
#include "tolvanex/parsers/readers.hpp"

namespace fs = std::filesystem;
using tolvanex::container::ZipArchive;
using tolvanex::container::ZipEntryReader;

namespace {

fs::path source_root() { return fs::path(__FILE__).parent_path().parent_path().parent_path(); }

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The fixture set is made once per generator version and shared by the test processes;
// a set is built aside and renamed into place, so concurrent runs never see half of one.
const fs::path& fixtures() {
  static const fs::path dir = [] {
    const fs::path script = source_root() / "tests/fixtures/make_zip_fixtures.py";
    const std::size_t version = std::hash<std::string>{}(slurp(script));
    const fs::path final_dir =
        fs::temp_directory_path() / ("tolvanex-zip-fixtures-" + std::to_string(version));
    if (fs::exists(final_dir / "payload")) return final_dir;
    const fs::path venv_python = source_root() / ".venv/bin/python";
    const std::string python = fs::exists(venv_python) ? venv_python.string() : "python3";
    const fs::path work = final_dir.string() + ".tmp" + std::to_string(::getpid());
    const std::string cmd = "'" + python + "' '" + script.string() + "' '" + work.string() + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("fixture generator failed");
    std::error_code ec;
    fs::rename(work, final_dir, ec);
    if (ec) fs::remove_all(work);  // another process got there first
    return final_dir;
  }();
  return dir;
}

std::string payload(const std::string& name) { return slurp(fixtures() / "payload" / name); }

ZipArchive open_ok(const std::string& archive) {
  auto file = tolvanex::fsio::File::open_read((fixtures() / archive).string());
  EXPECT_TRUE(file.ok());
  auto zip = ZipArchive::open(std::move(file).value());
  if (!zip) ADD_FAILURE() << archive << ": " << zip.error().display();
  return std::move(zip).value();
}

// "" on success, else the display text of the first failure.
std::string open_error(const std::string& archive) {
  auto file = tolvanex::fsio::File::open_read((fixtures() / archive).string());
  if (!file) return file.error().display();
  auto zip = ZipArchive::open(std::move(file).value());
  if (!zip) return zip.error().display();
  for (std::size_t i = 0; i < zip.value().entry_count(); ++i) {
    auto entry = zip.value().open_entry(i);
    if (!entry) return entry.error().display();
  }
  return "";
}

std::size_t index_of(const ZipArchive& zip, const std::string& name) {
  for (std::size_t i = 0; i < zip.entry_count(); ++i)
    if (zip.entry(i).name == name) return i;
  ADD_FAILURE() << "no entry " << name;
  return 0;
}

// Reads an entry to its end in reads of varying size; the content, or the error's text.
struct ReadOutcome {
  std::string content;
  std::string error;
};
ReadOutcome read_entry(const ZipArchive& zip, const std::string& name) {
  ReadOutcome out;
  auto reader = zip.open_entry(index_of(zip, name));
  if (!reader) {
    out.error = reader.error().display();
    return out;
  }
  static const std::size_t sizes[] = {1, 13, 4096, 65539};
  std::vector<char> buf(65539);
  for (std::size_t i = 0;; ++i) {
    auto n = reader.value().read(buf.data(), sizes[i % 4]);
    if (!n) {
      out.error = n.error().display();
      return out;
    }
    if (n.value() == 0) break;
    out.content.append(buf.data(), n.value());
  }
  return out;
}

// A test name from fixture names: letters and digits kept, everything else "_".
std::string test_name(const std::string& a, const std::string& b) {
  std::string out = a + (b.empty() ? "" : "_" + b);
  for (char& c : out)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return out;
}

struct ContentCase {
  const char* archive;
  const char* entry;
  const char* payload;
};

class ZipContent : public ::testing::TestWithParam<ContentCase> {};

TEST_P(ZipContent, ReadsEntryExactly) {
  const ContentCase& c = GetParam();
  const ZipArchive zip = open_ok(c.archive);
  const ReadOutcome got = read_entry(zip, c.entry);
  EXPECT_EQ(got.error, "");
  const std::string want = payload(c.payload);
  EXPECT_EQ(got.content.size(), want.size());
  EXPECT_TRUE(got.content == want);
}

INSTANTIATE_TEST_SUITE_P(
    Methods, ZipContent,
    ::testing::Values(
        ContentCase{"python.zip", "stored.txt", "text"},
        ContentCase{"python.zip", "deflate.txt", "text"},
        ContentCase{"python.zip", "bzip2.txt", "text"},
        ContentCase{"python.zip", "lzma.txt", "text"},
        ContentCase{"python.zip", "stored-empty", "empty"},
        ContentCase{"python.zip", "deflate-empty", "empty"},
        ContentCase{"python.zip", "bzip2-empty", "empty"},
        ContentCase{"python.zip", "lzma-empty", "empty"},
        ContentCase{"python.zip", "dir/", "empty"},
        ContentCase{"python.zip", "zip64.txt", "text"},
        ContentCase{"deflate64.zip", "text", "text"},
        ContentCase{"deflate64.zip", "repeat", "repeat"},
        ContentCase{"deflate64.zip", "zeros", "zeros"},
        ContentCase{"ppmd.zip", "text", "text"},
        ContentCase{"ppmd.zip", "small", "small"},
        ContentCase{"ppmd-o2.zip", "text", "text"},
        ContentCase{"ppmd-o16.zip", "text", "text"},
        ContentCase{"lzma7z.zip", "text", "text"},
        ContentCase{"handmade.zip", "xz", "text"},
        ContentCase{"handmade.zip", "xz-two-streams", "text"},
        ContentCase{"handmade.zip", "zstd", "text"},
        ContentCase{"handmade.zip", "zstd-frames", "text"},
        ContentCase{"handmade.zip", "zstd-skippable", "small"},
        ContentCase{"handmade.zip", "lzma-no-end-marker", "text"},
        ContentCase{"handmade.zip", "lzma-end-marker", "text"},
        ContentCase{"handmade.zip", "d64long", "d64long"},
        ContentCase{"handmade.zip", "stored-zip64", "text"},
        ContentCase{"duplicate.zip", "dup", "text"},
        ContentCase{"zip64-eocd.zip", "a", "small"},
        ContentCase{"zip64-eocd.zip", "b", "text"}),
    [](const auto& info) { return test_name(info.param.archive, info.param.entry); });

struct BadContentCase {
  const char* entry;
  const char* error;
};

class ZipBadContent : public ::testing::TestWithParam<BadContentCase> {};

constexpr const char* kChecksum = "io error: invalid checksum";
constexpr const char* kSize = "io error: decompressed size does not match declared size";
constexpr const char* kTruncated = "io error: unexpected end of compressed data";
constexpr const char* kInvalid = "io error: invalid compressed data";

TEST_P(ZipBadContent, FailsWithExactText) {
  const BadContentCase& c = GetParam();
  const ZipArchive zip = open_ok("bad-content.zip");
  EXPECT_EQ(read_entry(zip, c.entry).error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ZipBadContent,
    ::testing::Values(
        BadContentCase{"crc", kChecksum}, BadContentCase{"stored-short", kSize},
        BadContentCase{"stored-long", kSize},
        BadContentCase{"deflate-truncated", kTruncated},
        BadContentCase{"deflate-garbage", kInvalid}, BadContentCase{"deflate-short", kSize},
        BadContentCase{"deflate-long", kSize}, BadContentCase{"deflate-bomb", kSize},
        BadContentCase{"deflate-5gib", kSize},
        BadContentCase{"deflate64-truncated", kTruncated},
        BadContentCase{"deflate64-garbage", kInvalid}, BadContentCase{"deflate64-long", kSize},
        BadContentCase{"deflate64-too-far", kInvalid},
        BadContentCase{"bzip2-truncated", kTruncated}, BadContentCase{"bzip2-garbage", kInvalid},
        BadContentCase{"bzip2-long", kSize}, BadContentCase{"lzma-truncated", kTruncated},
        BadContentCase{"lzma-header-only", kTruncated},
        BadContentCase{"lzma-garbage", kInvalid}, BadContentCase{"lzma-long", kInvalid},
        BadContentCase{"xz-truncated", kTruncated}, BadContentCase{"xz-garbage", kInvalid},
        BadContentCase{"zstd-truncated", kTruncated}, BadContentCase{"zstd-garbage", kInvalid},
        BadContentCase{"zstd-long", kSize}, BadContentCase{"ppmd-truncated", kTruncated},
        BadContentCase{"ppmd-garbage", kInvalid}, BadContentCase{"ppmd-bad-params", kInvalid},
        BadContentCase{"ppmd-short", kSize}, BadContentCase{"ppmd-bit-flip", kSize}),
    [](const auto& info) { return test_name(info.param.entry, ""); });

struct OpenCase {
  const char* archive;
  const char* error;
};

class ZipOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(ZipOpen, FailsWithExactText) { EXPECT_EQ(open_error(GetParam().archive), GetParam().error); }

INSTANTIATE_TEST_SUITE_P(
    Archives, ZipOpen,
    ::testing::Values(
        OpenCase{"empty.zip", "zip error: invalid Zip archive: end of central directory record not found"},
        OpenCase{"not-a-zip.zip",
                 "zip error: invalid Zip archive: end of central directory record not found"},
        OpenCase{"cut.zip", "zip error: invalid Zip archive: end of central directory record not found"},
        OpenCase{"spanned.zip", "zip error: unsupported Zip archive: spanned archives are not supported"},
        OpenCase{"count-too-big.zip",
                 "zip error: invalid Zip archive: central directory entry count is inconsistent"},
        OpenCase{"cd-outside.zip",
                 "zip error: invalid Zip archive: central directory lies outside the archive"},
        OpenCase{"encrypted.zip",
                 "zip error: unsupported Zip archive: encrypted entries are not supported"},
        OpenCase{"method7.zip",
                 "zip error: unsupported Zip archive: compression method 7 is not supported"},
        OpenCase{"bad-local.zip", "zip error: invalid Zip archive: local file header not found"},
        OpenCase{"beyond-end.zip",
                 "zip error: invalid Zip archive: entry data extends beyond the end of the archive"},
        OpenCase{"stored-5gib.zip",
                 "zip error: invalid Zip archive: entry data extends beyond the end of the archive"},
        OpenCase{"path-field-mismatch.zip",
                 "zip error: invalid Zip archive: Unicode path extra field does not match the entry path"},
        OpenCase{"path-field-bad-utf8.zip",
                 "zip error: invalid Zip archive: Unicode path extra field does not match the entry path"},
        OpenCase{"comment-field-mismatch.zip",
                 "zip error: invalid Zip archive: Unicode comment extra field does not match the "
                 "entry comment"},
        OpenCase{"extra-overrun.zip", "zip error: invalid Zip archive: malformed extra field"},
        OpenCase{"zip64-eocd.zip", ""}, OpenCase{"names.zip", ""},
        OpenCase{"bad-content.zip", ""}),
    [](const auto& info) { return test_name(info.param.archive, ""); });

TEST(Zip, NamesFollowFlagAndUnicodeFields) {
  const ZipArchive zip = open_ok("names.zip");
  std::vector<std::string> names;
  for (std::size_t i = 0; i < zip.entry_count(); ++i) names.push_back(zip.entry(i).name);
  const std::vector<std::string> want = {
      payload("cp437-name"),     "utf8-bad-\xEF\xBF\xBD\xEF\xBF\xBD(",
      "utf8-ok-\xC3\xA4\xC3\xB6", "unicode-\xC3\xBC",
      "old-version",             "commented",
      "padded-extra"};
  EXPECT_EQ(names, want);
}

TEST(Zip, DuplicateNameKeepsFirstPlaceAndLastData) {
  const ZipArchive zip = open_ok("duplicate.zip");
  ASSERT_EQ(zip.entry_count(), 2u);
  EXPECT_EQ(zip.entry(0).name, "dup");
  EXPECT_EQ(zip.entry(1).name, "other");
  EXPECT_EQ(zip.entry(0).uncompressed_size, payload("text").size());
  EXPECT_LT(zip.entry(0).compressed_size, payload("text").size());
}

TEST(Zip, ListsSizesAndDirectoryFlag) {
  const ZipArchive zip = open_ok("python.zip");
  const auto& dir = zip.entry(index_of(zip, "dir/"));
  EXPECT_TRUE(dir.directory);
  const auto& stored = zip.entry(index_of(zip, "stored.txt"));
  EXPECT_FALSE(stored.directory);
  EXPECT_EQ(stored.compressed_size, payload("text").size());
  EXPECT_EQ(stored.uncompressed_size, payload("text").size());
  const ZipArchive bad = open_ok("bad-content.zip");
  EXPECT_EQ(bad.entry(index_of(bad, "deflate-5gib")).uncompressed_size, 5ull << 30);
}

TEST(Zip, ReaderRepeatsEndAndError) {
  const ZipArchive zip = open_ok("python.zip");
  auto r = zip.open_entry(index_of(zip, "deflate.txt"));
  ASSERT_TRUE(r.ok());
  std::vector<char> buf(1 << 20);
  std::size_t total = 0;
  for (;;) {
    auto n = r.value().read(buf.data(), buf.size());
    ASSERT_TRUE(n.ok());
    if (n.value() == 0) break;
    total += n.value();
  }
  EXPECT_EQ(total, payload("text").size());
  EXPECT_EQ(r.value().read(buf.data(), buf.size()).value(), 0u);

  const ZipArchive bad = open_ok("bad-content.zip");
  auto b = bad.open_entry(index_of(bad, "crc"));
  ASSERT_TRUE(b.ok());
  auto first = b.value().read(buf.data(), buf.size());  // the bytes come before the check
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first.value(), payload("small").size());
  for (int i = 0; i < 3; ++i) {
    auto n = b.value().read(buf.data(), buf.size());
    ASSERT_FALSE(n.ok());
    EXPECT_EQ(n.error().display(), kChecksum);
  }
}

TEST(Zip, UnreadableFileIsZipIoError) {
  // A directory opens but cannot be read.
  const fs::path dir = fixtures() / "payload";
  auto file = tolvanex::fsio::File::open_read(dir.string());
  ASSERT_TRUE(file.ok());
  auto zip = ZipArchive::open(std::move(file).value());
  ASSERT_FALSE(zip.ok());
  EXPECT_EQ(zip.error().display(), "zip error: i/o error");
}

TEST(Zip, ContentThatCannotBeReadIsAnIoError) {
  // The archive shrinks after its directory and the entry's local header were read: reading
  // the content then fails as content, not as the archive's structure.
  const fs::path copy = fs::temp_directory_path() / ("tolvanex-shrink-" + std::to_string(::getpid()) + ".zip");
  fs::copy_file(fixtures() / "python.zip", copy, fs::copy_options::overwrite_existing);
  auto file = tolvanex::fsio::File::open_read(copy.string());
  ASSERT_TRUE(file.ok());
  auto zip = ZipArchive::open(std::move(file).value());
  ASSERT_TRUE(zip.ok());
  auto reader = zip.value().open_entry(index_of(zip.value(), "deflate.txt"));
  ASSERT_TRUE(reader.ok());
  fs::resize_file(copy, 0);
  std::vector<char> buf(4096);
  auto n = reader.value().read(buf.data(), buf.size());
  fs::remove(copy);
  ASSERT_FALSE(n.ok());
  EXPECT_EQ(n.error().display(), "io error: unexpected end of file");
}

TEST(FlothermPack, BudgetKeepsOutLongNamesButListsLaterShortOnes) {
  const std::string path = (fixtures() / "budget.pack").string();
  struct Case {
    std::uint64_t budget;
    std::vector<std::string> listed;
    bool truncated;
  };
  const Case cases[] = {{10, {"P/abcdef", "P/"}, true},
                        {0, {}, true},
                        {2, {"P/"}, true},
                        {12, {"P/abcdef", "P/cd"}, true},
                        {14, {"P/abcdef", "P/cd", "P/"}, false}};
  for (const Case& c : cases) {
    auto got = tolvanex::parsers::flotherm::inspect_flotherm_pack(path, c.budget);
    ASSERT_TRUE(got.ok());
    std::vector<std::string> listed;
    for (const auto& e : got.value().entries) listed.push_back(e.name);
    EXPECT_EQ(listed, c.listed) << c.budget;
    EXPECT_EQ(got.value().truncated, c.truncated) << c.budget;
    EXPECT_EQ(got.value().entry_count, 3u);
    EXPECT_EQ(got.value().file_count, 2u);
    EXPECT_EQ(got.value().directory_count, 1u);
    EXPECT_EQ(got.value().uncompressed_bytes, 3u);
    EXPECT_EQ(got.value().project_directory, "P");
  }
}

// Damaged streams of every method: each read ends in a content error, or gives the
// original bytes when the damage missed; never a crash, a hang or runaway memory.
TEST(Zip, DecodersSurviveDamage) {
  const ZipArchive zip = open_ok("fuzz.zip");
  const std::string want = payload("fuzz-text");
  ASSERT_EQ(zip.entry_count(), 7u * 40u);
  for (std::size_t i = 0; i < zip.entry_count(); ++i) {
    const std::string& name = zip.entry(i).name;
    const ReadOutcome got = read_entry(zip, name);
    if (got.error.empty())
      EXPECT_TRUE(got.content == want) << name;
    else
      EXPECT_EQ(got.error.rfind("io error: ", 0), 0u) << name << ": " << got.error;
  }
}

}  // namespace
