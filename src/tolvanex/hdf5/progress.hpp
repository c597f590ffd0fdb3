// Signs of life from an inspection, so that whoever watches it can tell a large file from a
// library caught in a loop.
#pragma once

namespace tolvanex::hdf5 {

class Progress {
 public:
  virtual ~Progress() = default;
  // Called after each object is read; cheap enough to call often.
  virtual void tick() = 0;
};

class NoProgress final : public Progress {
 public:
  void tick() override {}
};

}  // namespace tolvanex::hdf5
