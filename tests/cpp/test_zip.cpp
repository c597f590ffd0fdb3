// The ZIP layer over archives from zipfile, 7-Zip and a hand-built writer (make_zip_fixtures.py):
// every entry, read in reads of varying size, gives what its name says: a payload or an error.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <iterator>
#include <string>
#include <vector>

#include "tolvanex/container/zip.hpp"

namespace fs = std::filesystem;
using tolvanex::container::ZipArchive;

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The fixture set, made once per test process in a directory of its own.
const fs::path& fixtures() {
  static const struct Set {
    fs::path dir = fs::temp_directory_path() / ("tolvanex-zip-" + std::to_string(::getpid()));
    Set() {
      const fs::path root = fs::path(__FILE__).parent_path().parent_path().parent_path();
      const fs::path venv = root / ".venv/bin/python";
      const std::string cmd = "'" + (fs::exists(venv) ? venv.string() : std::string("python3")) + "' '" +
                              (root / "tests/fixtures/make_zip_fixtures.py").string() + "' '" + dir.string() + "'";
      if (std::system(cmd.c_str()) != 0) throw std::runtime_error("fixture generator failed");
    }
    ~Set() { fs::remove_all(dir); }
  } set;
  return set.dir;
}

std::string payload(const std::string& name) { return slurp(fixtures() / "payload" / name); }

ZipArchive open_ok(const fs::path& archive) {
  return ZipArchive::open(tolvanex::fsio::File::open_read(archive.string()).value()).value();
}

// An entry read to its end in reads of varying size: its content and its error's text, if
// any. A reader asked again after its end or its failure must say the same again.
std::pair<std::string, std::string> read_entry(const ZipArchive& zip, std::size_t index) {
  auto reader = zip.open_entry(index);
  if (!reader) return {"", reader.error().display()};
  static const std::size_t sizes[] = {1, 13, 4096, 65539};
  std::vector<char> buf(65539);
  auto next = [&](std::size_t i) {
    auto n = reader.value().read(buf.data(), sizes[i % 4]);
    return n ? std::make_pair(n.value(), std::string()) : std::make_pair(std::size_t{0}, n.error().display());
  };
  for (std::string content;;) {
    const auto [n, error] = next(content.size());
    if (n == 0) {
      EXPECT_EQ(next(0), std::make_pair(std::size_t{0}, error));
      return {content, error};
    }
    content.append(buf.data(), n);
  }
}

TEST(Zip, EveryEntryGivesWhatItsNameSays) {
  const std::map<std::string, std::string> errors = {
      {"checksum", "io error: invalid checksum"}, {"size", "io error: decompressed size does not match declared size"},
      {"truncated", "io error: unexpected end of compressed data"}, {"invalid", "io error: invalid compressed data"}};
  std::size_t archives = 0;
  for (const auto& file : fs::directory_iterator(fixtures())) {
    if (file.path().extension() != ".zip") continue;
    ++archives;
    const std::string archive = file.path().filename().string();
    const ZipArchive zip = open_ok(file.path());
    for (std::size_t i = 0; i < zip.entry_count(); ++i) {
      const std::string& name = zip.entry(i).name;
      SCOPED_TRACE(archive + ": " + name);
      const std::string key = name.substr(0, name.find_first_of("./"));
      const auto [content, error] = read_entry(zip, i);
      if (archive == "bad.zip") {
        EXPECT_EQ(error, errors.at(key));
      } else if (archive == "fuzz.zip" && !error.empty()) {
        EXPECT_EQ(error.rfind("io error: ", 0), 0u) << error;
      } else {
        EXPECT_EQ(error, "");
        EXPECT_TRUE(content == payload(key)) << content.size() << " bytes";
      }
    }
  }
  EXPECT_EQ(archives, 10u);
}

TEST(Zip, ContentThatCannotBeReadIsAnIoError) {
  // The archive shrinks once its directory and the entry's local header were read: reading the
  // content then fails as content, not as the archive's structure.
  const fs::path copy = fixtures() / "shrinking.bin";
  fs::copy_file(fixtures() / "python.zip", copy);
  const ZipArchive zip = open_ok(copy);
  auto reader = zip.open_entry(0);
  fs::resize_file(copy, 0);
  std::vector<char> buf(4096);
  auto n = reader.value().read(buf.data(), buf.size());
  EXPECT_EQ(n ? "" : n.error().display(), "io error: unexpected end of file");
}

}  // namespace
