// The one error type of the driver and every reader, and the result type that carries it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tolvanex {

enum class ErrorKind {
  UnsupportedFormat,  // "unsupported file format for {}"
  Io,                 // "io error: {}"
  Zip,                // "zip error: {}"
  Xml,                // "xml error: {}"
  Json,               // "json error: {}"
  Message,            // "{}"
  Hdf5,               // "hdf5 error: {}"
  Interrupted,        // the caller's interrupt check said stop; "interrupted"
};

class TolvanexError {
 public:
  TolvanexError(ErrorKind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

  // Builders, one per way an error is born.
  static TolvanexError unsupported_format(std::string display_path) {
    return {ErrorKind::UnsupportedFormat, std::move(display_path)};
  }
  // An OS failure: "{description} (os error {n})".
  static TolvanexError io_errno(int err);
  // A failure detected without an error number: the fixed description alone.
  static TolvanexError io(std::string description) { return {ErrorKind::Io, std::move(description)}; }
  // Any failure of the ZIP reader's own input: "i/o error", the OS text is not shown.
  static TolvanexError zip_io() { return {ErrorKind::Zip, "i/o error"}; }
  static TolvanexError zip_invalid(const std::string& what) {
    return {ErrorKind::Zip, "invalid Zip archive: " + what};
  }
  static TolvanexError zip_unsupported(const std::string& what) {
    return {ErrorKind::Zip, "unsupported Zip archive: " + what};
  }
  static TolvanexError xml(std::string text) { return {ErrorKind::Xml, std::move(text)}; }
  static TolvanexError json(std::string message) { return {ErrorKind::Json, std::move(message)}; }
  static TolvanexError json_at(const std::string& message, std::uint64_t line, std::uint64_t column);
  static TolvanexError message(std::string sentence) { return {ErrorKind::Message, std::move(sentence)}; }
  static TolvanexError hdf5(std::string text) { return {ErrorKind::Hdf5, std::move(text)}; }
  // Not a fault of the file: the caller asked the call to stop (io/interrupt.hpp).
  static TolvanexError interrupted() { return {ErrorKind::Interrupted, {}}; }

  ErrorKind kind() const { return kind_; }
  // The payload's own text, without the variant's prefix.
  const std::string& payload() const { return payload_; }
  // The display text: the variant's template filled with the payload.
  std::string display() const;

  friend bool operator==(const TolvanexError&, const TolvanexError&) = default;

 private:
  ErrorKind kind_;
  std::string payload_;
};

// The operating system's description of an error number followed by " (os error N)".
std::string os_error_text(int err);

struct Unit {
  friend bool operator==(Unit, Unit) = default;
};

// A value or an error (a TolvanexError unless a layer has its own), in the manner of
// std::expected.
template <class T, class E = TolvanexError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace tolvanex

#define TVX_CONCAT_INNER(a, b) a##b
#define TVX_CONCAT(a, b) TVX_CONCAT_INNER(a, b)

// Evaluates a Result-returning expression; on error returns the error from the enclosing
// function, otherwise declares `decl` with the moved value.
#define TVX_TRY_ASSIGN(decl, expr)                                  \
  auto TVX_CONCAT(tvx_result_, __LINE__) = (expr);                  \
  if (!TVX_CONCAT(tvx_result_, __LINE__))                           \
    return std::move(TVX_CONCAT(tvx_result_, __LINE__)).error();    \
  decl = std::move(TVX_CONCAT(tvx_result_, __LINE__)).value()

// Evaluates a Status/Result expression and returns its error, if any.
#define TVX_TRY(expr)                                               \
  do {                                                              \
    auto tvx_status_ = (expr);                                      \
    if (!tvx_status_) return std::move(tvx_status_).error();        \
  } while (0)
