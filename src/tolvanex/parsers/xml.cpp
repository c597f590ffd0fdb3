#include "tolvanex/parsers/xml.hpp"

namespace tolvanex::xml {

XmlAttributes::XmlAttributes(std::string_view tag) : tag_(tag) {}

std::optional<XmlAttrItem> XmlAttributes::next() { return std::nullopt; }

std::string_view XmlEvent::name() const {
  std::size_t i = 0;
  while (i < bytes.size() && !is_xml_space(bytes[i])) ++i;
  return bytes.substr(0, i);
}

XmlPullReader::XmlPullReader(ByteSource& source, std::size_t buffer_size)
    : source_(source), buf_(buffer_size == 0 ? 1 : buffer_size) {}

Result<bool> XmlPullReader::fill() { return false; }

Result<XmlEvent> XmlPullReader::next_event(std::string& scratch) {
  scratch.clear();
  return XmlEvent{};
}

}  // namespace tolvanex::xml
