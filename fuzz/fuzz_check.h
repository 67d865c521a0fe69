// What the fuzz targets share: a broken property aborts with a message, so
// libFuzzer keeps the input as a crash; and a byte reader that turns the
// input into decisions, yielding 0 once the input is used up.
#ifndef ZEMB_FUZZ_CHECK_H
#define ZEMB_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : zemb_fuzz::fail(#condition, __FILE__, __LINE__))

namespace zemb_fuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
  std::abort();
}

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return position_ >= size_; }

  uint8_t byte() { return empty() ? 0 : data_[position_++]; }

  // A value in [low, high]; `low` once the input is used up.
  int in_range(int low, int high) {
    const uint32_t span = static_cast<uint32_t>(high - low) + 1;
    const uint32_t high_byte = byte();
    const uint32_t raw = high_byte << 8 | byte();
    return low + static_cast<int>(raw % span);
  }

  // Four bytes, the first the most significant.
  uint32_t word() {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits = bits << 8 | byte();
    return bits;
  }

  // Any float bit pattern: NaN, infinities, denormals and huge values included.
  float raw_float() {
    const uint32_t bits = word();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

  // Mostly a coordinate in [low, high] with a quarter-pixel fraction, where
  // outlines and boxes are meaningful; one time in eight any float at all.
  float coordinate(int low, int high) {
    if (byte() % 8 == 7) return raw_float();
    return static_cast<float>(in_range(low * 4, high * 4)) / 4.0f;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace zemb_fuzz

#endif  // ZEMB_FUZZ_CHECK_H
