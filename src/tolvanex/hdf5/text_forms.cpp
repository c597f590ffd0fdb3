#include "tolvanex/hdf5/text_forms.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <type_traits>
#include <utility>

#include "tolvanex/text/text.hpp"

namespace tolvanex::hdf5 {
namespace {

struct CodeRange {
  char32_t lo;
  char32_t hi;
};
constexpr CodeRange kEscapedRanges[] = {
#include "tolvanex/hdf5/escape_ranges.inc"
};

bool is_escaped(char32_t c) {
  const auto* it = std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), c,
                                    [](char32_t v, const CodeRange& r) { return v < r.lo; });
  return it != std::begin(kEscapedRanges) && c <= std::prev(it)->hi;
}

void append_code_escape(std::string& out, char32_t c) {
  char buf[16];
  const int n = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
  out.append(buf, static_cast<std::size_t>(n));
}

const char* kind_name(Hdf5Dtype::Kind kind) {
  using K = Hdf5Dtype::Kind;
  switch (kind) {
    case K::F32: return "F32";
    case K::F64: return "F64";
    case K::I8: return "I8";
    case K::I16: return "I16";
    case K::I32: return "I32";
    case K::I64: return "I64";
    case K::U8: return "U8";
    case K::U16: return "U16";
    case K::U32: return "U32";
    case K::U64: return "U64";
    case K::String: return "String";
    case K::VariableLengthString: return "VariableLengthString";
    case K::ObjectReference: return "ObjectReference";
    case K::Compound: return "Compound";
    case K::Enum: return "Enum";
    case K::Array: return "Array";
    case K::Other: return "Other";
  }
  return "Other";
}

template <class Int>
void append_int(std::string& out, Int v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

template <class Item, class Fn>
void append_list(std::string& out, const std::vector<Item>& items, Fn&& item) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    item(items[i]);
  }
  out += ']';
}

void append_dtype(std::string& out, const Hdf5Dtype& t) {
  using K = Hdf5Dtype::Kind;
  out += kind_name(t.kind);
  switch (t.kind) {
    case K::Compound:
      out += "([";
      for (std::size_t i = 0; i < t.names.size() && i < t.types.size(); ++i) {
        if (i) out += ", ";
        out += '(';
        append_quoted(out, t.names[i]);
        out += ", ";
        append_dtype(out, t.types[i]);
        out += ')';
      }
      out += "])";
      break;
    case K::Enum:
      out += '(';
      append_list(out, t.names, [&](const std::string& s) { append_quoted(out, s); });
      out += ')';
      break;
    case K::Array:
      out += '(';
      if (!t.types.empty()) append_dtype(out, t.types.front());
      out += ", ";
      append_list(out, t.dims, [&](std::uint32_t d) { append_int(out, d); });
      out += ')';
      break;
    case K::Other:
      out += '(';
      append_quoted(out, t.other);
      out += ')';
      break;
    default:
      break;
  }
}

}  // namespace

void append_f64(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::signbit(v)) out += '-';
  v = std::fabs(v);
  if (std::isinf(v)) {
    out += "inf";
    return;
  }
  if (v == 0) {
    out += "0.0";
    return;
  }
  // Shortest round-trip digits, read back out of the scientific form "d.ddde±x".
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t e_at = sci.find('e');
  std::string digits(sci.substr(0, e_at));
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  int exp = 0;
  std::from_chars(sci.data() + e_at + 1 + (sci[e_at + 1] == '+'), sci.data() + sci.size(), exp);

  if (v >= 1e-4 && v < 1e16) {
    const int n = static_cast<int>(digits.size());
    if (exp >= 0) {
      const int whole = exp + 1;
      if (n <= whole) {
        out += digits;
        out.append(static_cast<std::size_t>(whole - n), '0');
        out += ".0";
      } else {
        out.append(digits, 0, static_cast<std::size_t>(whole));
        out += '.';
        out.append(digits, static_cast<std::size_t>(whole));
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exp - 1), '0');
      out += digits;
    }
    return;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += 'e';
  append_int(out, exp);
}

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      ++i;
      switch (b) {
        case 0: out += "\\0"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
          if (b >= 0x20 && b < 0x7F)
            out += static_cast<char>(b);
          else
            append_code_escape(out, b);
      }
      continue;
    }
    std::size_t len = 1;
    const char32_t c = text::decode_at(s, i, len);
    if (is_escaped(c))
      append_code_escape(out, c);
    else
      out.append(s, i, len);
    i += len;
  }
  out += '"';
}

std::string dtype_text(const Hdf5Dtype& dtype) {
  std::string out;
  append_dtype(out, dtype);
  return out;
}

std::string attr_value_text(const Hdf5AttrValue& value) {
  static constexpr const char* kNames[] = {"F64",      "I64",      "U64",        "String",
                                           "F64Array", "I64Array", "StringArray"};
  std::string out = kNames[value.index()];
  out += '(';
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, double>) {
          append_f64(out, v);
        } else if constexpr (std::is_same_v<V, std::int64_t> || std::is_same_v<V, std::uint64_t>) {
          append_int(out, v);
        } else if constexpr (std::is_same_v<V, std::string>) {
          append_quoted(out, v);
        } else if constexpr (std::is_same_v<V, std::vector<double>>) {
          append_list(out, v, [&](double d) { append_f64(out, d); });
        } else if constexpr (std::is_same_v<V, std::vector<std::int64_t>>) {
          append_list(out, v, [&](std::int64_t d) { append_int(out, d); });
        } else {
          append_list(out, v, [&](const std::string& s) { append_quoted(out, s); });
        }
      },
      value);
  out += ')';
  return out;
}

}  // namespace tolvanex::hdf5
