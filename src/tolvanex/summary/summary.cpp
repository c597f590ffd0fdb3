#include "tolvanex/summary/summary.hpp"

#include <array>
#include <type_traits>
#include <utility>

#include "tolvanex/formats.hpp"
#include "tolvanex/json.hpp"
#include "tolvanex/text/text.hpp"

namespace tolvanex::summary {

std::string bounded_text(std::string_view text) { return text::cut_text(text, SUMMARY_TEXT_LIMIT); }

BoundedList<std::string> bounded_texts(const std::vector<std::string>& texts) {
  return bounded_list<std::string>(texts, [](const std::string& t) { return bounded_text(t); });
}

namespace {

// ---------------------------------------------------------------------------------------
// The mirror rule, driven by the field lists: each key of a compact record takes its value
// from the full record's field of the same key, converted by the value's type (texts
// bounded, numbers and bools copied, lists sampled, records mirrored in turn; an item record
// without a list is mirrored into its own type). Keys that a compact record adds or fills
// differently are named in ByHand (`keys`) and set by the caller, with the full record's
// fields they are made from (`from`). The compiler checks that every other compact key has
// a counterpart, and that every field of the full record is mirrored or named in `from`, so
// that a field added to a full record cannot be left out of its compact record unnoticed.

template <class C>
struct ByHand {
  static constexpr std::array<std::string_view, 0> keys{};
  static constexpr std::array<std::string_view, 0> from{};
};

template <class R>
constexpr auto keys_of() {
  return std::apply(
      [](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.key...}; },
      R::fields());
}

template <std::size_t N>
constexpr std::size_t index_of(const std::array<std::string_view, N>& keys, std::string_view key) {
  for (std::size_t i = 0; i < N; ++i)
    if (keys[i] == key) return i;
  return N;
}

template <class T>
struct is_bounded_list : std::false_type {};
template <class T>
struct is_bounded_list<BoundedList<T>> : std::true_type {};

template <class C, class F>
C mirror(const F& full);

template <class Dst, class Src>
Dst compact_value(const Src& value) {
  if constexpr (std::is_same_v<Src, std::string> && std::is_same_v<Dst, std::string>) {
    return bounded_text(value);
  } else if constexpr (std::is_same_v<Src, Dst> &&
                       (std::is_same_v<Src, bool> || std::is_unsigned_v<Src>)) {
    return value;
  } else if constexpr (is_optional_v<Src> && is_optional_v<Dst>) {
    if (!value) return std::nullopt;
    return compact_value<typename Dst::value_type>(*value);
  } else if constexpr (is_bounded_list<Dst>::value) {
    using Item = typename Dst::value_type;
    return bounded_list<Item>(value, [](const auto& item) { return compact_value<Item>(item); });
  } else {
    static_assert(Described<Src> && Described<Dst>, "no compact rule for this value");
    return mirror<Dst>(value);
  }
}

template <std::size_t I, class C, class F>
void mirror_field(C& out, const F& full) {
  constexpr auto target = std::get<I>(C::fields());
  constexpr auto full_keys = keys_of<F>();
  constexpr std::size_t source = index_of(full_keys, target.key);
  constexpr bool by_hand = index_of(ByHand<C>::keys, target.key) < ByHand<C>::keys.size();
  static_assert(by_hand || source < full_keys.size(), "compact key without a full counterpart");
  if constexpr (!by_hand) {
    constexpr auto from = std::get<source>(F::fields());
    auto& slot = out.*(target.member);
    slot = compact_value<std::remove_cvref_t<decltype(slot)>>(full.*(from.member));
  }
}

template <class C>
constexpr bool by_hand_keys_exist() {
  constexpr auto compact_keys = keys_of<C>();
  for (std::string_view key : ByHand<C>::keys)
    if (index_of(compact_keys, key) == compact_keys.size()) return false;
  return true;
}

// Every field of the full record is mirrored (a compact key of its name not set by hand) or
// named as a source of the keys set by hand, and every named source exists.
template <class C, class F>
constexpr bool every_full_field_taken() {
  constexpr auto compact_keys = keys_of<C>();
  constexpr auto full_keys = keys_of<F>();
  constexpr auto& hand = ByHand<C>::keys;
  constexpr auto& from = ByHand<C>::from;
  for (std::string_view key : from)
    if (index_of(full_keys, key) == full_keys.size()) return false;
  for (std::string_view key : full_keys) {
    const bool mirrored = index_of(compact_keys, key) < compact_keys.size() &&
                          index_of(hand, key) == hand.size();
    if (!mirrored && index_of(from, key) == from.size()) return false;
  }
  return true;
}

template <class C, class F>
C mirror(const F& full) {
  static_assert(by_hand_keys_exist<C>(), "a by-hand key that the compact record lacks");
  static_assert(every_full_field_taken<C, F>(),
                "a field of the full record that the compact record neither mirrors nor takes by hand");
  constexpr auto compact_keys = keys_of<C>();
  C out;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (mirror_field<I>(out, full), ...);
  }(std::make_index_sequence<compact_keys.size()>{});
  return out;
}

// The departures from the mirror rule: keys that the compact() overloads below fill.

template <>
struct ByHand<CompactAbaqusInpSummary> {
  static constexpr std::array<std::string_view, 1> keys{"includes"};
  static constexpr std::array<std::string_view, 1> from{"includes"};
};
template <>
struct ByHand<CompactFluentHdf5Summary> {
  static constexpr std::array<std::string_view, 3> keys{"zone_paths", "boundary_paths",
                                                        "settings_paths"};
  static constexpr std::array<std::string_view, 1> from{"hints"};
};
template <>
struct ByHand<CompactHfssAedtSummary> {
  static constexpr std::array<std::string_view, 3> keys{"lock_file_present",
                                                        "results_dir_present", "source_truncated"};
  static constexpr std::array<std::string_view, 2> from{"sidecars", "truncated"};
};
template <>
struct ByHand<CompactMechanicalMechdbSummary> {
  static constexpr std::array<std::string_view, 2> keys{"lock_file_present",
                                                        "project_files_dir_present"};
  static constexpr std::array<std::string_view, 1> from{"sidecars"};
};
template <>
struct ByHand<CompactIcepakTzrSummary> {
  static constexpr std::array<std::string_view, 1> keys{"source_truncated"};
  static constexpr std::array<std::string_view, 1> from{"truncated"};
};
template <>
struct ByHand<CompactFlothermFloxmlSummary> {
  static constexpr std::array<std::string_view, 1> keys{"source_truncated"};
  static constexpr std::array<std::string_view, 1> from{"truncated"};
};
template <>
struct ByHand<CompactFlothermPackSummary> {
  static constexpr std::array<std::string_view, 1> keys{"source_truncated"};
  static constexpr std::array<std::string_view, 1> from{"truncated"};
};

CompactComsolMphSummary compact(const ComsolMphSummary& s) {
  return mirror<CompactComsolMphSummary>(s);
}

// Include paths are texts of the deck; any invalid sequence is replaced before the cut so
// the compact record stays valid UTF-8 whatever the path holds.
CompactAbaqusInpSummary compact(const AbaqusInpSummary& s) {
  auto out = mirror<CompactAbaqusInpSummary>(s);
  out.includes = bounded_list<std::string>(s.includes, [](const std::string& path) {
    return bounded_text(text::decode_lossy(path));
  });
  return out;
}

CompactFluentHdf5Summary compact(const FluentHdf5Summary& s) {
  auto out = mirror<CompactFluentHdf5Summary>(s);
  out.zone_paths = bounded_texts(s.hints.zone_paths);
  out.boundary_paths = bounded_texts(s.hints.boundary_paths);
  out.settings_paths = bounded_texts(s.hints.settings_paths);
  return out;
}

CompactHfssAedtSummary compact(const HfssAedtSummary& s) {
  auto out = mirror<CompactHfssAedtSummary>(s);
  out.lock_file_present = s.sidecars.lock_file_present;
  out.results_dir_present = s.sidecars.results_dir_present;
  out.source_truncated = s.truncated;
  return out;
}

CompactMechanicalMechdbSummary compact(const MechanicalMechdbSummary& s) {
  auto out = mirror<CompactMechanicalMechdbSummary>(s);
  out.lock_file_present = s.sidecars.lock_file_present;
  out.project_files_dir_present = s.sidecars.project_files_dir_present;
  return out;
}

CompactIcepakTzrSummary compact(const IcepakTzrSummary& s) {
  auto out = mirror<CompactIcepakTzrSummary>(s);
  out.source_truncated = s.truncated;
  return out;
}

CompactFlothermFloxmlSummary compact(const FlothermFloxmlSummary& s) {
  auto out = mirror<CompactFlothermFloxmlSummary>(s);
  out.source_truncated = s.truncated;
  return out;
}

CompactFlothermPackSummary compact(const FlothermPackSummary& s) {
  auto out = mirror<CompactFlothermPackSummary>(s);
  out.source_truncated = s.truncated;
  return out;
}

// Each full alternative maps to the compact alternative at the same position.
template <std::size_t I>
using CompactOfFull =
    decltype(compact(std::declval<const std::variant_alternative_t<I, FormatSummary>&>()));
template <std::size_t... I>
constexpr bool same_positions(std::index_sequence<I...>) {
  return (std::is_same_v<std::variant_alternative_t<I, CompactFormatSummary>, CompactOfFull<I>> &&
          ...);
}
static_assert(std::variant_size_v<CompactFormatSummary> == std::variant_size_v<FormatSummary>);
static_assert(same_positions(std::make_index_sequence<kFormatCount>{}));

}  // namespace

CompactFormatSummary compact_summary(const FormatSummary& summary) {
  return std::visit([](const auto& data) -> CompactFormatSummary { return compact(data); },
                    summary);
}

TolvanexSummaryResult summarize_result(const TolvanexResult& result) {
  TolvanexSummaryResult out;
  out.path = bounded_text(result.path);
  out.file_name = bounded_text(result.file_name);
  out.format = result.format;
  out.ok = result.ok;
  out.warnings = bounded_texts(result.warnings);
  // The sentences follow the summary's kind, which always equals the format.
  const auto& sentences = format_row(static_cast<SimFormat>(result.summary.index())).limitations;
  out.limitations.assign(sentences.begin(), sentences.end());
  out.summary = compact_summary(result.summary);
  return out;
}

}  // namespace tolvanex::summary
