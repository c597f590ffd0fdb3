// Abaqus input decks (.inp/.inc): keyword lines are classified, data lines under *NODE and
// *ELEMENT are counted, and *INCLUDE files are followed depth first, each file read once.
//
// Decks are streamed in fixed-size chunks, so memory does not grow with the size of a deck
// or the length of its lines; include chains of any depth run on an explicit stack and keep
// only a few files open at a time.
#pragma once

#include <cstddef>
#include <string>

#include "tolvanex/error.hpp"
#include "tolvanex/parsers/readers.hpp"
#include "tolvanex/schema.hpp"
#include "tolvanex/text/lines.hpp"

namespace tolvanex::parsers::abaqus {

struct DeckReadOptions {
  // Bytes read per call; any value of at least 1 gives the same summary.
  std::size_t chunk_size = 1024 * 1024;
  // Decks kept open at once on the include stack; deeper ones are closed and reopened at
  // their saved offset when the scan returns to them.
  std::size_t max_open_decks = 16;
  // The kernel that passes over runs of data lines; all give the same summary.
  text::Kernel kernel = text::Kernel::Auto;
  // Asked by every deck opened and read (none when null); must outlive the call.
  fsio::Interrupt* interrupt = nullptr;
};

// inspect_abaqus_inp(path) (readers.hpp) with explicit read settings.
Result<AbaqusInpSummary> inspect_abaqus_inp(const std::string& path, const DeckReadOptions& options);

}  // namespace tolvanex::parsers::abaqus
