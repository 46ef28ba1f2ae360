// Reads a fuzz input front to back as the values a target asks for; an
// exhausted input yields zeros, so every input is a complete run. Reading
// from the front keeps the seed files easy to write by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vx::fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return pos_ >= size_; }
  size_t Left() const { return pos_ < size_ ? size_ - pos_ : 0; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Bool() { return (Byte() & 1) != 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t U32() { return uint32_t(U16()) | (uint32_t(U16()) << 16); }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  uint64_t U64() { return uint64_t(U32()) | (uint64_t(U32()) << 32); }
  // Any bit pattern: NaNs, infinities, denormals, huge and negative values.
  double Double() {
    uint64_t bits = U64();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  // Up to `n` bytes (fewer at the end of the input).
  size_t Take(uint8_t* out, size_t n) {
    size_t k = n < Left() ? n : Left();
    if (k) std::memcpy(out, data_ + pos_, k);
    pos_ += k;
    return k;
  }
  std::string Text(size_t maxLength) {
    size_t n = Byte();
    if (n > maxLength) n = maxLength;
    std::string s(n < Left() ? n : Left(), '\0');
    Take(reinterpret_cast<uint8_t*>(s.data()), s.size());
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A broken promise of the plug-in: say which and stop, so libFuzzer keeps
// the input as a crash.
[[noreturn]] inline void Fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace vx::fuzz
