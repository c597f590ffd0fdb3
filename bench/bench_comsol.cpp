// Throughput of the COMSOL member readers on large generated members (no archive layer):
// a run of white space, one long string and one long number through the JSON member reading,
// and a long text run through the model-tree reading.
#include <chrono>
#include <cstdio>
#include <string>

#include "tolvanex/parsers/comsol.hpp"

using namespace tolvanex;
using namespace tolvanex::parsers::comsol;

namespace {

class PatternSource final : public ByteSource {
 public:
  PatternSource(std::string head, char fill, std::uint64_t size, std::string tail)
      : text_(std::move(head)), fill_(fill), size_(size), tail_(std::move(tail)) {}
  Result<std::size_t> read(char* buffer, std::size_t size) override {
    std::size_t n = 0;
    while (n < size) {
      if (pos_ < text_.size()) {
        buffer[n++] = text_[pos_++];
      } else if (pos_ < text_.size() + size_) {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(text_.size() + size_ - pos_, size - n));
        std::fill_n(buffer + n, k, fill_);
        n += k;
        pos_ += k;
      } else if (pos_ < text_.size() + size_ + tail_.size()) {
        buffer[n++] = tail_[pos_++ - text_.size() - size_];
      } else {
        break;
      }
    }
    return n;
  }

 private:
  std::string text_;
  char fill_;
  std::uint64_t size_;
  std::string tail_;
  std::uint64_t pos_ = 0;
};

template <class F>
void timed(const char* what, std::uint64_t bytes, F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%-28s %8.3f s  %8.1f MB/s\n", what, s, bytes / s / 1e6);
}

}  // namespace

int main() {
  const std::uint64_t n = 256ull << 20;
  timed("json white space", n, [&] {
    PatternSource src("", ' ', n, "{}");
    TreeInfo t;
    (void)read_smodel(src, t);
  });
  timed("json long string", n, [&] {
    PatternSource src("[\"", 'a', n, "\"]");
    TreeInfo t;
    (void)read_smodel(src, t);
  });
  timed("json long number", n, [&] {
    PatternSource src("[1", '0', n, "]");
    TreeInfo t;
    (void)read_smodel(src, t);
  });
  timed("xml model tree text", n, [&] {
    PatternSource src("<r>", 'x', n, "</r>");
    TreeInfo t;
    (void)read_dmodel(src, t);
  });
  timed("xml model info text", n, [&] {
    PatternSource src("<title>", 'x', n, "</title>");
    ModelInfo i;
    (void)read_modelinfo(src, i);
  });
}
