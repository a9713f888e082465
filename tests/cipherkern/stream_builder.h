// Test support: pack streams written code by code, for decoder tests that
// need exactly the codes they name, damaged ones included.
#ifndef TRESOLIN_TESTS_CIPHERKERN_STREAM_BUILDER_H_
#define TRESOLIN_TESTS_CIPHERKERN_STREAM_BUILDER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cipherkern::testing_support {

// Writes codes the way the format lays them out: bits most significant
// first into 32-bit little-endian words after a 10-byte header.
class StreamBuilder {
 public:
  StreamBuilder& Bits(std::uint64_t value, unsigned count) {
    for (unsigned i = count; i-- > 0;) bits_.push_back((value >> i) & 1);
    return *this;
  }
  StreamBuilder& Gamma(std::uint64_t v) {
    const int top = 63 - __builtin_clzll(v);
    for (int i = top - 1; i >= 0; --i) Bits((v >> i) & 1, 1).Bits(i > 0 ? 1 : 0, 1);
    return *this;
  }
  StreamBuilder& Format8() { return Bits(0b001'0000'0'1, 9); }
  StreamBuilder& Format7(std::uint8_t base) { return Bits(0b001'0000'0'0, 9).Bits(base, 8); }
  StreamBuilder& Literal(std::uint8_t x, unsigned width = 8) { return Bits(1, 1).Bits(x, width); }
  StreamBuilder& Repeat(std::uint64_t n) { return Bits(0b01, 2).Gamma(2).Gamma(n); }
  // Long match with the coded length (the decoder adds the bonus).
  StreamBuilder& Long(std::uint64_t offset, std::uint64_t codedLength, unsigned indexBits = 8) {
    return Bits(0b01, 2)
        .Gamma((offset >> indexBits) + 3)
        .Bits(offset & ((std::uint64_t{1} << indexBits) - 1), indexBits)
        .Gamma(codedLength);
  }
  StreamBuilder& Short(std::uint32_t offset, std::uint32_t length) {
    return Bits(0b000, 3).Bits(offset, 7).Bits(length - 2, 2);
  }
  StreamBuilder& IndexBits(unsigned bits, unsigned m = 1) {
    return Bits(0b000, 3).Bits(0, 7).Bits(m, 2).Bits(bits, m + 3);
  }
  StreamBuilder& Zero() { return Bits(0b001'0001, 7); }
  StreamBuilder& Near(unsigned offset) { return Bits(0b001, 3).Bits(offset + 1, 4); }
  // Raw blocks of 256 bytes each, chained by continuation bits.
  StreamBuilder& Raw(const std::vector<std::uint8_t>& blocks) {
    Bits(0b001'0000'1, 8);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      if (i > 0 && i % 256 == 0) Bits(1, 1);
      Bits(blocks[i], 8);
    }
    return Bits(0, 1);
  }
  StreamBuilder& End() { return Bits(0, 12); }

  std::vector<std::uint8_t> Build(std::uint32_t length, std::uint32_t checksum = 0) const {
    std::vector<std::uint8_t> out = {'J', 'C'};
    PutLe32(&out, length);
    PutLe32(&out, checksum);
    for (std::size_t i = 0; i < bits_.size(); i += 32) {
      std::uint32_t word = 0;
      for (std::size_t j = 0; j < 32; ++j) {
        word = (word << 1) | (i + j < bits_.size() ? bits_[i + j] : 0);
      }
      PutLe32(&out, word);
    }
    return out;
  }

 private:
  static void PutLe32(std::vector<std::uint8_t>* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::vector<std::uint8_t> bits_;
};

}  // namespace cipherkern::testing_support

#endif  // TRESOLIN_TESTS_CIPHERKERN_STREAM_BUILDER_H_
