// How a long call learns that its caller wants it stopped (Ctrl-C in Python).
//
// The caller of an inspect or scan hands in a check; the loops that can run long (file
// reads, the open of a file that may wait for a writer, the directory walk, the scan between
// files, the wait on the HDF5 worker) ask it at a steady pace. Once it says stop, the answer
// stands for the rest of the call: the check is not asked again, every later question is
// answered at once, and the call ends with the Interrupted error. That error is no fault of
// the file and is never shown as one: the caller's check knows why it said stop (in Python,
// the exception its handler raised is already pending).
#pragma once

#include "tolvanex/error.hpp"

namespace tolvanex::fsio {

class Interrupt {
 public:
  // True when the call must stop; it may run the caller's own handlers.
  using Check = bool (*)(void* state);

  // Never stops.
  Interrupt() = default;
  Interrupt(Check check, void* state) : check_(check), state_(state) {}

  // Asks the check, unless it already said stop.
  bool raised() {
    if (!raised_ && check_ && check_(state_)) raised_ = true;
    return raised_;
  }
  Status poll() { return raised() ? TolvanexError::interrupted() : ok_status(); }

 private:
  Check check_ = nullptr;
  void* state_ = nullptr;
  bool raised_ = false;
};

// Asks `interrupt` once every `Stride` calls of poll(): for loops whose single step is too
// cheap to ask at each one.
template <unsigned Stride>
class Paced {
 public:
  explicit Paced(Interrupt& interrupt) : interrupt_(interrupt) {}
  Status poll() {
    if (++count_ < Stride) return ok_status();
    count_ = 0;
    return interrupt_.poll();
  }

 private:
  Interrupt& interrupt_;
  unsigned count_ = 0;
};

}  // namespace tolvanex::fsio
