// What every fuzz target shares: a reader that takes an input apart into the pieces of its byte
// format, and the checks that end a run (libFuzzer reports the abort as a crash; a replay test
// fails with it).
//
// The pieces, read from the front; a read past the end gives zeros and empty texts, so every
// input means something:
//   byte      one byte
//   dword     four bytes, little-endian
//   text      a length byte L, then L UTF-16LE units (2 L bytes)
//   long text a length of two bytes (little-endian), then that many UTF-16LE units
//   rest      the remaining bytes as UTF-16LE units (an odd last byte is dropped)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include "platform/sim/kernel/reset_used.h"
#include "platform/sim/sim.h"
#endif

namespace dpal::fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  uint16_t Word() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }

  uint32_t Dword() {
    const uint32_t low = Word();
    return low | (static_cast<uint32_t>(Word()) << 16);
  }

  std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> out;
    while (count-- > 0 && !empty()) out.push_back(Byte());
    return out;
  }

  std::wstring Units(size_t count) {
    std::wstring out;
    while (count-- > 0 && pos_ + 1 < size_) out.push_back(static_cast<wchar_t>(Word()));
    return out;
  }

  std::wstring Text() { return Units(Byte()); }
  std::wstring LongText() { return Units(Word()); }
  std::wstring Rest() { return Units(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Ends the run when an invariant does not hold.
inline void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz: invariant broken: %s\n", what);
  std::abort();
}

#if !defined(_WIN32)
// The simulated machine for one input, as the first local of a target: put back before the input
// (only what the last input used: sim::ResetUsed) and again when the input ends, so that an input
// leaves nothing allocated behind it. (libFuzzer takes an input that ends with more allocations
// than it freed for a possible leak and runs it again under the leak checker, which costs more
// than the input.) Both resets give the state a full reset gives.
//
// The replay of the sim presets asks for the full reset instead and for the trace, and looks at
// the machine just before the input's end, to hold each input's outcome after the cheap reset
// against its outcome alone.
struct MachineReset {
  bool full = false;             // sim::Reset instead of sim::ResetUsed
  bool traced = false;           // every platform call is recorded from the reset on
  std::function<void()> at_end;  // called when the input ends, before the machine is put back
};

inline MachineReset& NextReset() {
  static MachineReset reset;
  return reset;
}

class Machine {
 public:
  Machine() {
    PutBack();
    if (NextReset().traced) sim::RecordTrace(true);
  }
  ~Machine() {
    if (NextReset().at_end) NextReset().at_end();
    PutBack();
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

 private:
  static void PutBack() {
    if (NextReset().full) {
      sim::Reset();
    } else {
      sim::ResetUsed();
    }
  }
};

// The sim's leak check after an input: every handle, block, hive, profile and impersonation the
// product took is released again.
inline void CheckNoLeaks() {
  const sim::LeakReport leaks = sim::Leaks();
  if (leaks.Clean()) return;
  std::fprintf(stderr, "fuzz: leak check: %s\n", leaks.Describe().c_str());
  std::abort();
}
#endif

}  // namespace dpal::fuzz
