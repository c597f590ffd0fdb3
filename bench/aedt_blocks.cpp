// The AEDT block parser on texts of the size the reader hands over at most (the default
// 2 MiB budget): a well-formed project of many designs, and hostile texts of the same size
// (blocks that never close, one deep nest, many distinct designs). Each is shown next to a
// line count over the same bytes with memchr, the floor of any line-based pass, measured in
// the same run.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "tolvanex/parsers/hfss.hpp"

using namespace tolvanex;

namespace {

constexpr std::size_t kBudget = 2u << 20;

// Repeats `unit(i)` until the text would pass the budget, inside one project block.
template <class Unit>
std::string project_of(Unit&& unit) {
  std::string text = "$begin 'AnsoftProject'\n";
  for (int i = 0;; ++i) {
    const std::string next = unit(i);
    if (text.size() + next.size() > kBudget) break;
    text += next;
  }
  return text;
}

template <class F>
double best_seconds(F&& f) {
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

std::size_t count_lines(const std::string& text) {
  std::size_t lines = 0;
  for (const char* p = text.data(); (p = static_cast<const char*>(
                                          std::memchr(p, '\n', text.data() + text.size() - p)));
       ++p)
    ++lines;
  return lines;
}

}  // namespace

int main() {
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"well-formed designs", project_of([](int i) {
         const std::string id = std::to_string(i);
         return "$begin 'HFSSModel'\nName='D" + id + "'\nSolutionType='DrivenModal'\n"
                "$begin 'Boundaries'\n$begin 'Port" + id + "'\nBoundType='Wave Port'\n$end 'Port" +
                id + "'\n$end 'Boundaries'\nVariableProp('w" + id + "', 'UD', '', '1mm')\n"
                "$end 'HFSSModel'\n";
       })},
      {"models never closed", project_of([](int i) {
         return "$begin 'AModel'\nName='n" + std::to_string(i) + "'\n$end 'x'\n";
       })},
      {"one deep nest", project_of([](int) { return std::string("$begin 'Sweeps'\n$begin 'a'\n"); })},
      {"distinct designs", project_of([](int i) {
         return "$begin 'AModel'\nName='" + std::to_string(i) + "'\n$end 'AModel'\n";
       })},
  };
  std::printf("%-22s %9s %10s %12s %8s\n", "text (2 MiB)", "lines", "parser ms", "memchr ms", "ratio");
  for (const auto& c : cases) {
    std::size_t designs = 0, lines = 0;
    const double parse = best_seconds([&] {
      designs = parsers::hfss::parse_aedt_text(c.text, std::nullopt, false, false, false).designs.size();
    });
    const double floor = best_seconds([&] { lines = count_lines(c.text); });
    std::printf("%-22s %9zu %10.2f %12.3f %7.0fx  (%zu designs)\n", c.what, lines, parse * 1e3,
                floor * 1e3, parse / floor, designs);
  }
}
