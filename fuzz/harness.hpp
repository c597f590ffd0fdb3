// What the fuzz targets share: a private scratch directory for the files they write, the
// checks every record must pass (its JSON is valid UTF-8 and parses, its compact form is
// bounded), and sources that read memory in small pieces, so that a layer can be compared
// with itself at other read sizes.
//
// A target defines LLVMFuzzerTestOneInput and calls these; a failed check prints what failed
// and aborts, which libFuzzer reports as a crash with the input that caused it. The same
// sources also build without libFuzzer or sanitizers, as the replays of kept inputs.
#pragma once

#include <sanitizer/asan_interface.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tolvanex/call_context.hpp"
#include "tolvanex/dispatch.hpp"
#include "tolvanex/io/byte_source.hpp"
#include "tolvanex/json.hpp"
#include "json_value.hpp"
#include "tolvanex/summary/summary.hpp"
#include "tolvanex/text/utf8.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define TVX_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TVX_FUZZ_ASAN 1
#endif
#endif

// An allocation that fails returns null, as it does without the sanitizer: the HDF5 library
// in the contained child, whose address space is capped, must see its failure as it would.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace tvx_fuzz {

using namespace tolvanex;

[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n*** check failed: %.*s\n", static_cast<int>(what.size()), what.data());
  if (!detail.empty())
    std::fprintf(stderr, "*** %.*s\n", static_cast<int>(std::min<std::size_t>(detail.size(), 4000)),
                 detail.data());
  std::abort();
}

inline void expect(bool ok, std::string_view what, std::string_view detail = {}) {
  if (!ok) fail(what, detail);
}

inline std::string_view bytes_of(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The pieces of `data` between occurrences of `separator` (one piece when there is none).
inline std::vector<std::string_view> split(std::string_view data, std::string_view separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t at = data.find(separator);
    pieces.push_back(data.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    data.remove_prefix(at + separator.size());
  }
}

// One directory per process under the system's temporary directory, emptied for each input
// (so that no file of an earlier input changes the outcome) and removed at exit.
class Scratch {
 public:
  static Scratch& get() {
    static Scratch scratch;
    return scratch;
  }
  // Empties the directory and returns it.
  const std::filesystem::path& fresh() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(root_, ec))
      std::filesystem::remove_all(entry.path(), ec);
    return root_;
  }
  std::string path(std::string_view rel) const { return (root_ / rel).string(); }
  // Writes a file (its directories made as needed) and returns its path.
  std::string write(std::string_view rel, std::string_view bytes) const {
    const std::filesystem::path p = root_ / rel;
    std::error_code ec;
    std::filesystem::create_directories(p.parent_path(), ec);
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p.string();
  }

 private:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvanex-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) fail("no scratch directory");
    root_ = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  std::filesystem::path root_;
};

// JSON text as the module hands it to json.loads: valid UTF-8 that parses.
inline void check_json(const std::string& text) {
  expect(text::is_valid_utf8(text), "JSON text is valid UTF-8", text);
  expect(nlohmann::json::accept(text), "JSON text parses", text);
}

// Every text of a compact record is at most 256 bytes and an ellipsis, every list at most 8
// items: its size has a bound whatever the file held.
inline void check_bounded(const nlohmann::json& value) {
  if (value.is_string()) {
    expect(value.get_ref<const std::string&>().size() <= summary::SUMMARY_TEXT_LIMIT + 3,
           "compact text within its bound", value.dump());
  } else if (value.is_array()) {
    expect(value.size() <= summary::SUMMARY_SAMPLE_LIMIT, "compact list within its bound", value.dump());
    for (const auto& item : value) check_bounded(item);
  } else if (value.is_object()) {
    for (const auto& item : value.items()) check_bounded(item.value());
  }
}

// Writes a record in full and compact form and checks both; returns the full JSON.
inline std::string check_record(const TolvanexResult& record) {
  std::string full = json::write(record);
  check_json(full);
  const auto parsed = nlohmann::json::parse(full);
  expect(parsed["summary"]["kind"] == parsed["format"], "summary kind is the format", full);
  const std::string compact = json::write(summary::summarize_result(record));
  check_json(compact);
  const auto bounded = nlohmann::json::parse(compact);
  check_bounded(bounded);
  expect(bounded["summary"]["kind"] == parsed["format"], "compact kind is the format", compact);
  return full;
}

// A reader's outcome as one text: the record's full JSON, or "ERROR " and the display text.
inline std::string outcome(const Result<TolvanexResult>& result) {
  if (result) return check_record(result.value());
  const std::string text = result.error().display();
  expect(!text.empty(), "an error says what failed");
  return "ERROR " + text;
}

// Inspects `path` as `format`, with paths in the record, and checks the record.
inline std::string inspect(const std::string& path, SimFormat format,
                           std::uint64_t byte_budget = kDefaultByteBudget) {
  InspectOptions options;
  options.format = format;
  options.byte_budget = byte_budget;
  options.include_paths = true;
  return outcome(dispatch::inspect_path(path, options));
}

// Writes the input as the one file `name` of a fresh scratch directory and inspects it as
// `format`, with the default budget and with a small one (so that dropping items that do not
// fit is fuzzed too). Returns the path.
inline std::string inspect_file(std::string_view name, std::string_view bytes, SimFormat format) {
  Scratch& scratch = Scratch::get();
  scratch.fresh();
  const std::string path = scratch.write(name, bytes);
  inspect(path, format);
  inspect(path, format, 100);
  return path;
}

// The HDF5 readers run the library in a child process. A sanitizer that finds an error in
// the child ends it with exit status 1, which the parent reports as an ordinary failure of
// the library: that one must count as a finding here. But libhdf5 itself reads out of bounds
// on some damaged files (it trusts sizes that the file states); containing that is what the
// child is for. So a report whose first frame is in libhdf5, or in an interceptor called
// right from it, ends the child with status 86 instead, which passes.
constexpr int kLibraryMemoryError = 86;
inline void report_in_child(const char* report) {
  const std::string_view text(report);
  const auto frame = [&](int k) {
    const std::string tag = "    #" + std::to_string(k) + " ";
    const std::size_t at = text.find(tag);
    return at == std::string_view::npos ? std::string_view() : text.substr(at, text.find('\n', at) - at);
  };
  const auto in_library = [](std::string_view f) { return f.find("/libhdf5") != std::string_view::npos; };
  const std::string_view top = frame(0);
  if (in_library(top) || (top.find("__interceptor_") != std::string_view::npos && in_library(frame(1))))
    _exit(kLibraryMemoryError);
}

// Inspected through the scan with a context kept for the whole run, as a scan keeps one for
// all its files: one worker serves every input, and a short stall limit ends the library's
// endless loops in a second rather than half a minute. (What the worker runs adds nothing to
// libFuzzer's coverage, which it counts in its own process.)
inline void inspect_hdf5(std::string_view name, std::string_view bytes, SimFormat format) {
#ifdef TVX_FUZZ_ASAN
  __asan_set_error_report_callback(report_in_child);
#endif
  static CallContext call(hdf5::ContainOptions{.stall_limit = std::chrono::milliseconds(1000)});
  Scratch& scratch = Scratch::get();
  scratch.fresh();
  const std::string path = scratch.write(name, bytes);
  for (const std::uint64_t budget : {kDefaultByteBudget, std::uint64_t{100}}) {
    ScanOptions options = ScanOptions::defaults();
    options.inspect_options.format = format;
    options.inspect_options.byte_budget = budget;
    options.include_paths = true;
    const auto records = dispatch::scan_paths({path}, options, call);
    const std::string result = records ? check_record(records.value().at(0)) : records.error().display();
    expect(result.find("(exited with status 1)") == std::string::npos,
           "the contained child passed its sanitizers", result);
    if (format == SimFormat::FluentHdf5) break;  // takes no budget
  }
}

// Memory handed out at most `step` bytes per read; skip() reads through (the default).
class PieceSource final : public ByteSource {
 public:
  PieceSource(std::string_view bytes, std::size_t step) : bytes_(bytes), step_(step) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min({size, step_, bytes_.size() - pos_});
    std::copy_n(bytes_.data() + pos_, n, buffer);
    pos_ += n;
    return n;
  }

 private:
  std::string_view bytes_;
  std::size_t step_;
  std::size_t pos_ = 0;
};

// Everything a source gives, read `step` bytes at a time and cut after `cap` bytes, or
// "ERROR " and the error's display text.
inline std::string drain(ByteSource& source, std::size_t step, std::size_t cap) {
  std::string out, buffer(step, '\0');
  while (out.size() < cap) {
    auto n = source.read(buffer.data(), std::min(step, cap - out.size()));
    if (!n) return "ERROR " + n.error().display();
    if (n.value() == 0) break;
    expect(n.value() <= step, "a read gives at most what was asked");
    out.append(buffer.data(), n.value());
  }
  return out;
}

}  // namespace tvx_fuzz
