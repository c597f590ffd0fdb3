// The text forms that records show for HDF5 content: a dataset's datatype ("dtype") and an
// attribute's decoded value ("value"). They are built from what the library decodes, never
// from its own printing, so one file gives one text whatever library version reads it.
//
//   U64(123)   F64(1e16)   String("a\"b")   Array(F64, [3])   Compound([("x", F64)])
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tolvanex::hdf5 {

struct Hdf5Dtype {
  enum class Kind {
    F32, F64, I8, I16, I32, I64, U8, U16, U32, U64,
    String, VariableLengthString, ObjectReference,
    Compound,  // names[i] has type types[i], in stored order
    Enum,      // names: the members, in stored order
    Array,     // types[0]: the element; dims: the array's dimension sizes
    Other,     // other: a description of a datatype without a kind of its own
  };
  Kind kind = Kind::Other;
  std::vector<std::string> names;
  std::vector<Hdf5Dtype> types;
  std::vector<std::uint32_t> dims;
  std::string other;
};

// The decoded value of an attribute. The alternatives in order: F64, I64, U64, String,
// F64Array, I64Array, StringArray.
using Hdf5AttrValue = std::variant<double, std::int64_t, std::uint64_t, std::string,
                                   std::vector<double>, std::vector<std::int64_t>,
                                   std::vector<std::string>>;

std::string dtype_text(const Hdf5Dtype& dtype);
std::string attr_value_text(const Hdf5AttrValue& value);

// The shortest text that reads back as the same double: plain decimal with at least one
// fractional digit for magnitudes in [1e-4, 1e16) and zero, else "1.5e-7" style.
void append_f64(std::string& out, double value);
// A double quote, the text with its escapes ("\n", "\u{1b}", ...), a double quote. The text
// must be valid UTF-8.
void append_quoted(std::string& out, std::string_view text);

}  // namespace tolvanex::hdf5
