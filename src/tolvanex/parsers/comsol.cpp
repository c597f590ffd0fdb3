#include "tolvanex/parsers/comsol.hpp"
#include "tolvanex/saturating.hpp"
#include "tolvanex/text/text.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

#include "tolvanex/container/zip.hpp"
#include "tolvanex/io/fsio.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/markup/xml.hpp"
#include "tolvanex/text/text_sink.hpp"

namespace tolvanex::parsers::comsol {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

bool contains(std::string_view s, std::string_view word) { return s.find(word) != std::string_view::npos; }

void sort_unique(std::vector<std::string>& list) {
  std::stable_sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Archive inventory

std::string_view size_bucket(std::string_view entry_name) {
  const std::string name = text::ascii_lower(entry_name);
  if (contains(name, "solution") || name.starts_with("savepoint")) return "solution";
  if (contains(name, "mesh")) return "mesh";
  if (contains(name, "geometry") || contains(name, "geommanager")) return "geometry";
  if (name.ends_with(".mphbin")) return "binary";
  return "data";
}

Member member_of(std::string_view entry_name) {
  if (entry_name == "dmodel.xml") return Member::DModel;
  if (entry_name == "fileversion") return Member::FileVersion;
  if (entry_name == "smodel.json") return Member::SModel;
  if (entry_name == "modelinfo.xml") return Member::ModelInfo;
  if (entry_name == "usedlicenses.txt") return Member::UsedLicenses;
  return Member::None;
}

// ---------------------------------------------------------------------------------------
// Model tags

std::optional<NodeKind> node_kind(std::string_view word) {
  if (text::ascii_iequals(word, "physics")) return NodeKind::Physics;
  if (text::ascii_iequals(word, "study")) return NodeKind::Study;
  if (text::ascii_iequals(word, "material")) return NodeKind::Material;
  return std::nullopt;
}

void TreeInfo::sort_tags() {
  for (auto& list : tags) sort_unique(list);
}

std::vector<std::string> merge_sorted(std::vector<std::string> a, std::vector<std::string> b) {
  a.reserve(a.size() + b.size());
  std::move(b.begin(), b.end(), std::back_inserter(a));
  sort_unique(a);
  return a;
}

// ---------------------------------------------------------------------------------------
// Texts taken again

Result<std::vector<std::string>> read_ranges(ByteSource& member, const std::vector<ByteRange>& ranges) {
  std::vector<std::string> texts(ranges.size());
  std::vector<char> buf(kChunk);
  std::uint64_t pos = 0;
  std::size_t r = 0;
  while (r < ranges.size()) {
    TVX_TRY_ASSIGN(const std::size_t n, member.read(buf.data(), buf.size()));
    if (n == 0) break;
    const std::uint64_t chunk_end = pos + n;
    while (r < ranges.size()) {
      const ByteRange range = ranges[r];
      const std::uint64_t from = std::max(range.begin, pos);
      const std::uint64_t to = std::min(range.end, chunk_end);
      if (from < to) texts[r].append(buf.data() + (from - pos), static_cast<std::size_t>(to - from));
      if (range.end > chunk_end) break;
      ++r;
    }
    pos = chunk_end;
  }
  return texts;
}

// ---------------------------------------------------------------------------------------
// Model information

namespace {

enum class InfoField { None, Title, Description, Version, NodeType, Runnable };

InfoField info_field(std::string_view key) {
  if (key.size() > 13) return InfoField::None;  // longer than "comsolversion"
  const std::string k = text::ascii_lower(key);
  if (k == "title") return InfoField::Title;
  if (k == "description") return InfoField::Description;
  if (k == "version" || k == "comsolversion") return InfoField::Version;
  if (k == "nodetype") return InfoField::NodeType;
  if (k == "runnable" || k == "isrunnable") return InfoField::Runnable;
  return InfoField::None;
}

void assign_field(ModelInfo& info, InfoField field, std::string value) {
  if (field != InfoField::None && field != InfoField::Runnable) info.unread[static_cast<int>(field) - 1].reset();
  switch (field) {
    case InfoField::None: break;
    case InfoField::Title: info.title = std::move(value); break;
    case InfoField::Description: info.description = std::move(value); break;
    case InfoField::Version: info.comsol_version = std::move(value); break;
    case InfoField::NodeType: info.node_type = std::move(value); break;
    case InfoField::Runnable: {
      const std::string v = value.size() <= 5 ? text::ascii_lower(value) : std::string();
      if (v == "1" || v == "true" || v == "yes") {
        info.is_runnable = true;
      } else if (v == "0" || v == "false" || v == "no") {
        info.is_runnable = false;
      } else {
        info.is_runnable = std::nullopt;
      }
      break;
    }
  }
}

}  // namespace

void assign_modelinfo(ModelInfo& info, std::string_view key, std::string_view value) {
  assign_field(info, info_field(key), std::string(value));
}

namespace {

// A text of the model information as the tokenizer hands it over, trimmed into one segment.
class InfoTextSink final : public text::TextSink {
 public:
  void piece(std::string_view bytes) override { segment.feed(bytes); }
  std::uint64_t room() const override { return TrimmedSegments::kPendingLimit; }
  void unheld_space(std::uint64_t bytes) override { segment.unheld_white(bytes); }
  TrimmedSegments segment{TrimmedSegments::Mode::Whole};
};

}  // namespace

Status read_modelinfo(ByteSource& source, ModelInfo& info) {
  xml::XmlPullReader reader(source);
  // Of a tag only the values of known keys are read.
  reader.set_attribute_filter([](std::string_view key) { return info_field(key) != InfoField::None; });
  // End tags change nothing, and a text counts only where a sink takes it.
  reader.show_only({xml::XmlEventKind::Start, xml::XmlEventKind::Empty});
  InfoTextSink text;
  std::string scratch;
  // Text belongs to the element whose tag came last; an end tag does not change that.
  InfoField element = InfoField::None;
  for (;;) {
    // Text that would be stored under no field is not held.
    reader.set_text_sink(element == InfoField::None ? nullptr : &text);
    TVX_TRY_ASSIGN(const xml::XmlEvent ev, reader.next_event(scratch));
    switch (ev.kind) {
      case xml::XmlEventKind::Eof: return ok_status();
      case xml::XmlEventKind::Start:
      case xml::XmlEventKind::Empty: {
        xml::XmlAttributes attrs = ev.attributes();
        while (auto item = attrs.next()) {
          if (!item->ok()) continue;
          assign_field(info, info_field(item->attribute.key), text::decode_lossy(item->attribute.value));
        }
        element = info_field(ev.name());
        break;
      }
      case xml::XmlEventKind::Text: {
        TrimmedSegments& segment = text.segment;
        segment.finish();
        if (element == InfoField::None || segment.ranges().empty()) {
          // only white space, or nothing to store it under
        } else if (!segment.needs_extract()) {
          assign_field(info, element, text::decode_lossy(std::move(segment.take_texts().front())));
        } else {
          assign_field(info, element, std::string());
          if (element != InfoField::Runnable) {  // far too long for a flag word: no flag at all
            const ByteRange at = segment.ranges().front();
            info.unread[static_cast<int>(element) - 1] = ByteRange{reader.text_offset() + at.begin,
                                                                   reader.text_offset() + at.end};
          }
        }
        segment = TrimmedSegments(TrimmedSegments::Mode::Whole);
        break;
      }
      default: break;
    }
  }
}

Status read_unread(ByteSource& again, ModelInfo& info) {
  std::optional<std::string>* const fields[] = {&info.title, &info.description, &info.comsol_version, &info.node_type};
  std::vector<std::pair<ByteRange, std::size_t>> wanted;  // by place in the member
  for (std::size_t f = 0; f < info.unread.size(); ++f) {
    if (info.unread[f]) wanted.emplace_back(*info.unread[f], f);
  }
  std::sort(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) { return a.first.begin < b.first.begin; });
  std::vector<ByteRange> ranges;
  for (const auto& w : wanted) ranges.push_back(w.first);
  TVX_TRY_ASSIGN(std::vector<std::string> texts, read_ranges(again, ranges));
  for (std::size_t k = 0; k < wanted.size(); ++k) {
    *fields[wanted[k].second] = text::decode_lossy(texts[k]);
    info.unread[wanted[k].second].reset();
  }
  return ok_status();
}

Status read_dmodel(ByteSource& source, TreeInfo& tree) {
  xml::XmlPullReader reader(source);
  // Text is never read from the model tree, and of a tag only these four values.
  reader.set_attribute_filter([](std::string_view key) {
    return key == "param" || key == "value" || key == "reference" || key == "tag";
  });
  reader.show_only({xml::XmlEventKind::Start, xml::XmlEventKind::Empty});
  std::string scratch;
  for (;;) {
    TVX_TRY_ASSIGN(const xml::XmlEvent ev, reader.next_event(scratch));
    if (ev.kind == xml::XmlEventKind::Eof) break;
    if (ev.kind != xml::XmlEventKind::Start && ev.kind != xml::XmlEventKind::Empty) continue;
    // The tokenizer reports a repeated attribute name as an error item, so the first
    // occurrence of each name is the one seen here.
    std::optional<std::string_view> param, value, reference, tag;
    xml::XmlAttributes attrs = ev.attributes();
    while (auto item = attrs.next()) {
      if (!item->ok()) continue;
      const std::string_view key = item->attribute.key;
      if (key == "param") param = item->attribute.value;
      else if (key == "value") value = item->attribute.value;
      else if (key == "reference") reference = item->attribute.value;
      else if (key == "tag") tag = item->attribute.value;
    }
    if (param) {
      NamedValue p;
      p.name = text::decode_lossy(*param);
      if (value) p.value = text::decode_lossy(*value);
      if (reference) p.reference = text::decode_lossy(*reference);
      tree.parameters.push_back(std::move(p));
    }
    if (tag) {
      if (const auto kind = node_kind(ev.name())) tree.tags_of(*kind).push_back(text::decode_lossy(*tag));
    }
  }
  tree.sort_tags();
  return ok_status();
}

// ---------------------------------------------------------------------------------------
// Plain-text members

void TrimmedSegments::feed(std::string_view chunk) {
  std::string_view ch;
  for (std::size_t pos = 0; pos < chunk.size();) {
    if (!carry_.next(chunk, pos, ch)) break;
    character(ch);
  }
}

void TrimmedSegments::flush_carry() {
  if (carry_.carrying()) character(carry_.take_cut());
}

void TrimmedSegments::unheld_white(std::uint64_t count) {
  flush_carry();
  offset_ += count;
  if (started_ && !spilled_) give_up();
}

void TrimmedSegments::finish() {
  flush_carry();
  close_segment();
}

void TrimmedSegments::give_up() {
  // Rather than hold an unbounded run of white space that may never be followed by content:
  // the ranges are enough to take the texts again later.
  spilled_ = true;
  std::string().swap(kept_);
  pending_.clear();
  std::vector<std::string>().swap(texts_);
}

void TrimmedSegments::character(std::string_view bytes) {
  const std::uint64_t at = offset_;
  offset_ += bytes.size();
  const bool separator = bytes.size() == 1 && ((mode_ == Mode::Lines && bytes[0] == '\n') ||
                                               (mode_ == Mode::FirstColon && !split_ && bytes[0] == ':'));
  if (separator) {
    close_segment();
    if (mode_ == Mode::FirstColon) split_ = true;
    return;
  }
  // Valid UTF-8 white space is never longer than three bytes; anything else (an ill-formed
  // byte included) is content.
  const bool white = text::trim_unicode(bytes).empty();
  if (white) {
    if (!started_ || spilled_) return;
    pending_.add(bytes);
    if (!pending_.all_held()) give_up();
    return;
  }
  if (!started_) {
    started_ = true;
    current_.begin = at;
  }
  current_.end = at + bytes.size();
  if (!spilled_) {
    pending_.release([&](const char* p, std::size_t n) { kept_.append(p, n); });
    kept_.append(bytes);
  }
}

void TrimmedSegments::close_segment() {
  if (!started_) {
    if (mode_ != Mode::FirstColon) return;
    current_ = Range{offset_, offset_};
  }
  ranges_.push_back(current_);
  if (!spilled_) texts_.push_back(std::move(kept_));
  kept_.clear();
  pending_.clear();
  started_ = false;
  current_ = Range{};
}

Status TrimmedSegments::extract(ByteSource& again) {
  TVX_TRY_ASSIGN(texts_, read_ranges(again, ranges_));
  spilled_ = false;
  return ok_status();
}

FileVersion file_version_from(bool split, std::vector<std::string> segments) {
  FileVersion v;
  if (split && segments.size() == 2) {
    v.schema = std::move(segments[0]);
    v.saved_in = std::move(segments[1]);
  } else if (!segments.empty() && !segments[0].empty()) {
    v.saved_in = std::move(segments[0]);
  }
  return v;
}

// ---------------------------------------------------------------------------------------
// Member stream

Result<std::size_t> MemberStream::read(char* buffer, std::size_t size) {
  if (failure_) return *failure_;
  if (cut_) return std::size_t{0};
  Result<std::size_t> got = raw_.read(buffer, size);
  if (!got) {
    failure_ = got.error();
    return got;
  }
  if (!utf8_.feed(std::string_view(buffer, got.value()))) {
    cut_ = true;
    return std::size_t{0};
  }
  return got;
}

Status MemberStream::finish() {
  if (failure_) return *failure_;
  std::vector<char> buf(kChunk);
  for (;;) {
    Result<std::size_t> got = raw_.read(buf.data(), buf.size());
    if (!got) {
      failure_ = got.error();
      return std::move(got).error();
    }
    if (got.value() == 0) break;
    if (!cut_) utf8_.feed(std::string_view(buf.data(), got.value()));
  }
  if (!utf8_.finish()) return TolvanexError::io("stream did not contain valid UTF-8");
  return ok_status();
}

// ---------------------------------------------------------------------------------------
// The reader

namespace {

// Streams one plain-text member into segments; takes the texts from a second read of the
// entry when a white-space run was too long to hold.
Result<TrimmedSegments> read_segments(const container::ZipArchive& zip, std::size_t index,
                                      container::ZipEntryReader& entry, TrimmedSegments::Mode mode) {
  TrimmedSegments segments(mode);
  MemberStream stream(entry);
  std::vector<char> buf(kChunk);
  for (;;) {
    Result<std::size_t> got = stream.read(buf.data(), buf.size());
    if (!got || got.value() == 0) break;
    segments.feed(std::string_view(buf.data(), got.value()));
  }
  TVX_TRY(stream.finish());
  segments.finish();
  if (segments.needs_extract()) {
    TVX_TRY_ASSIGN(container::ZipEntryReader again, zip.open_entry(index));
    TVX_TRY(segments.extract(again));
  }
  return segments;
}

}  // namespace

Result<ComsolMphSummary> inspect_comsol_mph(const std::string& path, fsio::Interrupt* interrupt) {
  TVX_TRY_ASSIGN(fsio::File file, fsio::File::open_read(path, interrupt));
  TVX_TRY_ASSIGN(container::ZipArchive zip, container::ZipArchive::open(std::move(file)));

  ComsolMphSummary summary;
  std::map<std::string_view, std::uint64_t> sizes;  // by bucket name
  ModelInfo info;
  TreeInfo dmodel, smodel;
  bool have_version = false;
  FileVersion version;
  // The first fault of each model member, reported only once the whole archive has read well.
  std::optional<TolvanexError> info_error, dmodel_error, smodel_error;

  const std::size_t count = zip.entry_count();
  summary.entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const container::ZipEntry& meta = zip.entry(i);
    const Member member = member_of(meta.name);
    // Every entry must open; only the members are read.
    if (member == Member::None) TVX_TRY(zip.check_entry(i));
    summary.entries.push_back(meta.name);
    std::uint64_t& bucket = sizes[size_bucket(meta.name)];
    bucket = saturating_add(bucket, meta.uncompressed_size);
    if (member == Member::None) continue;
    TVX_TRY_ASSIGN(container::ZipEntryReader entry, zip.open_entry(i));

    // A member met again replaces what the earlier one gave.
    switch (member) {
      case Member::None: break;
      case Member::FileVersion: {
        TVX_TRY_ASSIGN(TrimmedSegments seg, read_segments(zip, i, entry, TrimmedSegments::Mode::FirstColon));
        version = file_version_from(seg.split(), seg.take_texts());
        have_version = true;
        break;
      }
      case Member::UsedLicenses: {
        TVX_TRY_ASSIGN(TrimmedSegments seg, read_segments(zip, i, entry, TrimmedSegments::Mode::Lines));
        summary.used_licenses = seg.take_texts();
        break;
      }
      case Member::ModelInfo: {
        MemberStream stream(entry);
        info = ModelInfo{};
        Status st = read_modelinfo(stream, info);
        TVX_TRY(stream.finish());
        info_error.reset();
        if (!st) {
          info_error = std::move(st).error();
        } else if (std::any_of(info.unread.begin(), info.unread.end(), [](const auto& r) { return r.has_value(); })) {
          TVX_TRY_ASSIGN(container::ZipEntryReader again, zip.open_entry(i));
          TVX_TRY(read_unread(again, info));
        }
        break;
      }
      case Member::DModel:
      case Member::SModel: {
        // The model tree as XML and as its JSON serialisation: each kept apart, read alike.
        const bool serialised = member == Member::SModel;
        TreeInfo& tree = serialised ? smodel : dmodel;
        std::optional<TolvanexError>& error = serialised ? smodel_error : dmodel_error;
        MemberStream stream(entry);
        tree = TreeInfo{};
        Status st = serialised ? read_smodel(stream, tree) : read_dmodel(stream, tree);
        TVX_TRY(stream.finish());
        error.reset();
        if (!st) error = std::move(st).error();
        break;
      }
    }
  }
  if (info_error) return std::move(*info_error);
  if (dmodel_error) return std::move(*dmodel_error);
  if (smodel_error) return std::move(*smodel_error);

  std::stable_sort(summary.entries.begin(), summary.entries.end());
  if (have_version) {
    summary.schema = std::move(version.schema);
    summary.saved_in = std::move(version.saved_in);
  }
  summary.title = std::move(info.title);
  summary.description = std::move(info.description);
  summary.comsol_version = std::move(info.comsol_version);
  summary.node_type = std::move(info.node_type);
  summary.is_runnable = info.is_runnable;
  summary.parameters = std::move(dmodel.parameters);
  summary.physics_tags = merge_sorted(std::move(dmodel.tags[0]), std::move(smodel.tags[0]));
  summary.study_tags = merge_sorted(std::move(dmodel.tags[1]), std::move(smodel.tags[1]));
  summary.material_tags = merge_sorted(std::move(dmodel.tags[2]), std::move(smodel.tags[2]));
  for (const auto& [name, bytes] : sizes) summary.size_breakdown.push_back(SizeBucket{std::string(name), bytes});
  return summary;
}

}  // namespace tolvanex::parsers::comsol
