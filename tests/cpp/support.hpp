// Helpers shared by the C++ tests.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tolvanex/error.hpp"
#include "tolvanex/json.hpp"

namespace tvx_test {

// A fresh temporary directory, removed with all it holds when the test ends.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvanex-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }

  const std::filesystem::path& path() const { return path_; }
  // The path of `rel` inside the directory (the directory itself for "").
  std::string str(const std::string& rel = "") const { return rel.empty() ? path_.string() : (path_ / rel).string(); }
  // Writes a file, creating its directories, and returns its path.
  std::string write(const std::string& rel, const std::string& bytes = "") const {
    const std::filesystem::path p = path_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }

 private:
  std::filesystem::path path_;
};

// A reader's outcome as one text: the record's JSON, or "ERROR " and the error's display text.
template <typename T>
std::string outcome(const tolvanex::Result<T>& r) {
  return r ? tolvanex::json::write(r.value()) : "ERROR " + r.error().display();
}

}  // namespace tvx_test
