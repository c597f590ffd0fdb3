// The XML pull tokenizer on raw bytes. Its events (kinds, names, kept attributes, texts, the
// open-element path) and its errors must not depend on the buffer size nor on the kernel that
// classifies the buffer, so the input is read through buffers of 8192, 100 and 1 bytes, with
// the widest, the SSE2 and the portable kernel, and the transcripts compared; skim mode must give
// the same kinds where it clipped no name. The attribute iterator also reads the input as
// one tag.
#include "harness.hpp"
#include "tolvanex/markup/xml.hpp"

namespace {

using namespace tvx_fuzz;
using xml::XmlEventKind;

class Collect final : public text::TextSink {
 public:
  void piece(std::string_view bytes) override { text.append(bytes); }
  std::uint64_t room() const override { return std::uint64_t{1} << 40; }
  void unheld_space(std::uint64_t bytes) override { text += "{" + std::to_string(bytes) + "}"; }
  std::string text;
};

struct Transcript {
  std::string events;  // kinds and payloads, or the error
  std::string kinds;   // kinds and the error
  bool clipped = false;
};

Transcript read(std::string_view input, std::size_t buffer, text::Kernel kernel, bool skim) {
  MemorySource source(input);
  xml::XmlPullReader reader(source, buffer, kernel);
  Collect sink;
  reader.set_text_sink(&sink);
  reader.set_skim(skim);
  // Odd-length keys kept, others only scanned: both paths of the tag filter.
  if (!skim) reader.set_attribute_filter([](std::string_view key) { return key.size() % 2 == 1; });
  Transcript t;
  std::string scratch;
  for (;;) {
    auto event = reader.next_event(scratch);
    if (!event) {
      t.events += "ERROR " + event.error().display();
      // Skim mode may name a clipped end tag in its message: the kind of error only.
      const std::string text = event.error().display();
      t.kinds += "ERROR " + text.substr(0, text.find(':', text.find(':') + 1));
      return t;
    }
    const auto& ev = event.value();
    t.events += std::to_string(static_cast<int>(ev.kind)) + ":";
    t.kinds += std::to_string(static_cast<int>(ev.kind)) + ",";
    if (skim) {
      t.clipped |= reader.name_clipped();
    } else {
      t.events.append(ev.bytes).append("|").append(sink.text);
      t.events += "|" + std::to_string(reader.open_names().size());
      if (!reader.open_names().empty()) t.events.append(reader.open_names().top().name);
      if (ev.kind == XmlEventKind::Start || ev.kind == XmlEventKind::Empty)
        for (auto attrs = ev.attributes(); auto item = attrs.next();)
          if (item->ok()) t.events.append(item->attribute.key).append("=").append(item->attribute.value);
      t.events += "\n";
    }
    sink.text.clear();
    if (ev.kind == XmlEventKind::Eof) return t;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = bytes_of(data, size);
  const Transcript whole = read(input, xml::XmlPullReader::kDefaultBufferSize, text::Kernel::Auto, false);
  for (const auto& [buffer, kernel] : {std::pair{std::size_t{1}, text::Kernel::Portable},
                                       std::pair{std::size_t{100}, text::Kernel::Sse2},
                                       std::pair{std::size_t{8192}, text::Kernel::Portable}}) {
    const Transcript other = read(input, buffer, kernel, false);
    expect(whole.events == other.events, "events alike at every buffer size and kernel",
           whole.events + "\n----\n" + other.events);
  }
  const Transcript skim = read(input, 7, text::Kernel::Auto, true);
  if (!skim.clipped)
    expect(whole.kinds == skim.kinds, "skim mode gives the same kinds", whole.kinds + "\n----\n" + skim.kinds);
  std::size_t items = 0;
  for (xml::XmlAttributes attrs(input); attrs.next();)
    expect(++items <= size + 1, "the attribute iterator moves on");
  return 0;
}
