// Abaqus deck scanner throughput (usage in line_bench.hpp).
//
// The generated deck looks like one written by a pre-processor: a heading, materials and
// sections, one large *NODE block of right-aligned ids with three coordinates, one large
// *ELEMENT block of 8-node bricks, then a step with boundary conditions, loads and output
// requests. Both blocks are split by an occasional comment line. The deck includes a material
// library, "materials.inc" beside it, which the benchmark table writes (a missing include is
// listed and passed over).
#include <string>

#include "line_bench.hpp"
#include "tolvanex/parsers/abaqus.hpp"

namespace {

void generate(line_bench::Sample& deck) {
  deck.text +=
      "*Heading\n"
      "** Job name: bracket Model name: bracket-1\n"
      "Bracket assembly, generated for throughput tests\n"
      "*Preprint, echo=NO, model=NO, history=NO, contact=NO\n"
      "*Material, name=Steel\n*Elastic\n210000., 0.3\n*Density\n7.85e-09,\n"
      "*Solid Section, elset=ALL, material=Steel\n,\n"
      "*Include, input=materials.inc\n"
      "*Node, nset=ALL_NODES\n";
  // Two thirds nodes, one third elements.
  unsigned long long id = 1;
  for (; deck.below(2.0 / 3.0); ++id) {
    const double x = static_cast<double>(deck.random() % 1000000) / 1000.0;
    const double y = static_cast<double>(deck.random() % 1000000) / 1000.0;
    const double z = static_cast<double>(deck.random() % 1000000) / 1000.0;
    deck.format("%7llu, %12.7f, %12.7f, %12.7f\n", id, x, y, z);
    if (id % 100000 == 0) deck.text += "** node block continues\n";
  }
  const unsigned long long nodes = id - 1;
  deck.text += "*Element, type=C3D8R, elset=ALL\n";
  for (id = 1; deck.below(); ++id) {
    unsigned long long v[8];
    for (auto& k : v) k = deck.random() % nodes + 1;
    deck.format("%llu, %llu, %llu, %llu, %llu, %llu, %llu, %llu, %llu\n", id, v[0], v[1], v[2], v[3], v[4], v[5],
                v[6], v[7]);
    if (id % 100000 == 0) deck.text += "** element block continues\n";
  }
  deck.text +=
      "*Step, name=Load, nlgeom=NO\n*Static\n1., 1., 1e-05, 1.\n"
      "*Boundary\nALL_NODES, 1, 3\n*Cload\nALL_NODES, 2, -100.\n"
      "*Output, field, variable=PRESELECT\n*Node Output\nU, RF\n*El Print\nS\n*End Step\n";
}

tolvanex::Result<std::string> scan(const char* path, tolvanex::text::Kernel kernel) {
  tolvanex::parsers::abaqus::DeckReadOptions options;
  options.kernel = kernel;
  TVX_TRY_ASSIGN(const tolvanex::AbaqusInpSummary s, tolvanex::parsers::abaqus::inspect_abaqus_inp(path, options));
  return "nodes " + std::to_string(s.node_count) + " elements " + std::to_string(s.element_count);
}

}  // namespace

int main(int argc, char** argv) { return line_bench::run(argc, argv, generate, scan); }
