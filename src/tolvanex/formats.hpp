// What the system knows of each format, in one table with one row per format: its name,
// the names a caller may give for it, the file-name suffixes that detect it, the sentences
// that say what its inspection leaves out, and its reader. Format names and their parsing,
// the default scan patterns, detection, the driver's dispatch and the compact form's
// limitations are all read from this table; the rows stand in SimFormat order, which is
// also the order of the FormatSummary and CompactFormatSummary variants.
//
// The table itself (formats.cpp) names the readers; this header does not, so the layers
// below the readers may read the rows without depending on them.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "tolvanex/error.hpp"
#include "tolvanex/io/interrupt.hpp"
#include "tolvanex/schema.hpp"

namespace tolvanex {

struct CallContext;  // call_context.hpp

// At most N items held in place, so that a row is written as one literal. More than N
// items do not compile.
template <class T, std::size_t N>
class InlineList {
 public:
  consteval InlineList() = default;
  consteval InlineList(std::initializer_list<T> items) : size_(items.size()) {
    std::copy(items.begin(), items.end(), items_.begin());
  }
  constexpr const T* begin() const { return items_.data(); }
  constexpr const T* end() const { return items_.data() + size_; }
  constexpr std::size_t size() const { return size_; }

 private:
  std::array<T, N> items_{};
  std::size_t size_ = 0;
};

struct SuffixRule {
  std::string_view suffix;  // lower case, matched against the end of the lower-cased name
  // When set, a name with this suffix is of the format only if the probe says so (it may
  // read the file, asking the interrupt as it does); otherwise the name has no format.
  bool (*probe)(const std::string& path, fsio::Interrupt* interrupt) = nullptr;
};

// A format's reader: the path exactly as the driver received it, the byte budget and what
// the readers of the call share (readers that take either are called without it). It has no
// empty state, so a row without its reader does not compile.
struct ReaderEntry {
  using Read = Result<FormatSummary> (*)(const std::string& path, std::uint64_t byte_budget,
                                         CallContext& call);
  constexpr ReaderEntry(SimFormat f, Read r) : format(f), read(r) {}
  SimFormat format;
  Read read;
};

struct FormatRow {
  SimFormat format;
  std::string_view name;                            // "comsol-mph": records, errors, kinds
  InlineList<std::string_view, 4> accepted_names;   // lower case
  InlineList<SuffixRule, 2> suffixes;               // in detection order
  InlineList<std::string_view, 2> limitations;      // the compact form's sentences
  ReaderEntry reader;
};

// The rows, in SimFormat order.
std::span<const FormatRow, kFormatCount> format_table();

inline const FormatRow& format_row(SimFormat format) {
  return format_table()[static_cast<std::size_t>(format)];
}

}  // namespace tolvanex
