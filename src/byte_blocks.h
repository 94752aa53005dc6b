#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Module1 {

// Sixteen bytes compared at once: a GCC and Clang vector type, which the
// compilers turn into the baseline vector instructions of the target (SSE2 on
// x86-64) without any code of the platform's own: for the separators of a
// line's first bytes, and for line ends where the C library's memchr is slow.
using ByteBlock = unsigned char __attribute__((vector_size(16)));
inline constexpr std::size_t kBlockSize = sizeof(ByteBlock);
static_assert(std::endian::native == std::endian::little,
              "the masks below number bytes from the low end of a word");

inline ByteBlock load_block(const char* bytes) {
  ByteBlock block;
  std::memcpy(&block, bytes, kBlockSize);
  return block;
}

// 0xFF in each byte of the block that equals `wanted`, 0 in the others.
inline ByteBlock bytes_equal(ByteBlock block, char wanted) {
  ByteBlock marks;
  marks = block == static_cast<unsigned char>(wanted);
  return marks;
}

// True when any byte of `marks` is set.
inline bool any_marked(ByteBlock marks) {
  std::uint64_t words[2];
  std::memcpy(words, &marks, sizeof(words));
  return (words[0] | words[1]) != 0;
}

// One bit per byte of `marks` (each 0xFF or 0), bit i for byte i. The high
// bits of each word are gathered with one multiply: every product term lands
// on a bit of its own, so nothing carries.
inline std::uint32_t marked_bits(ByteBlock marks) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  constexpr std::uint64_t kGather = 0x0002040810204081ULL;
  std::uint64_t words[2];
  std::memcpy(words, &marks, sizeof(words));
  const auto gather = [](std::uint64_t word) {
    return static_cast<std::uint32_t>(((word & kHighBits) * kGather) >> 56);
  };
  return gather(words[0]) | (gather(words[1]) << 8);
}

// Which byte of `marks` (each 0xFF or 0) is the first one set, where one is:
// from the lowest set bit of the word that holds it, with no bit gathered.
inline std::size_t first_marked(ByteBlock marks) {
  std::uint64_t words[2];
  std::memcpy(words, &marks, sizeof(words));
  const bool in_first = words[0] != 0;
  const std::uint64_t word = in_first ? words[0] : words[1];
  return static_cast<std::size_t>(std::countr_zero(word)) / 8 + (in_first ? 0 : 8);
}

// The first byte from `from` up to `end` that equals `wanted`, or `end`;
// read two whole blocks at a time, up to 31 bytes past `end`: against one
// block at a time, faster on wide lines for a little more on narrow ones
// (run_benchmark).
inline const char* find_byte(const char* from, const char* end, char wanted) {
  for (; from < end; from += 2 * kBlockSize) {
    const ByteBlock first = bytes_equal(load_block(from), wanted);
    const ByteBlock second = bytes_equal(load_block(from + kBlockSize), wanted);
    if (any_marked(first | second)) {
      const bool in_first = any_marked(first);
      return std::min(from + (in_first ? first_marked(first) : kBlockSize + first_marked(second)),
                      end);
    }
  }
  return end;
}

// The first `byte` from `from` on, found before `end`; the byte must be
// there. glibc's memchr is faster than the block search on every line shape;
// the Windows C library (msvcrt) searches byte by byte, far slower than the
// block search (run_benchmark; the Windows program under Wine). CMake
// chooses by platform.
inline const char* find_present(const char* from, const char* end, char byte) {
  return RENUMBER_SEARCH_BY_BLOCKS ? find_byte(from, end, byte)
                                   : static_cast<const char*>(std::memchr(
                                         from, byte, static_cast<std::size_t>(end - from)));
}

// Whether an odd number of the bytes from `from` up to `end` equal `wanted`:
// whole blocks within the range, each lane flipped by its matches, then byte
// by byte. Only the lanes' parity is kept, so no lane can overflow.
inline bool odd_count(const char* from, const char* end, char wanted) {
  ByteBlock lanes{};
  for (; end - from >= static_cast<std::ptrdiff_t>(kBlockSize); from += kBlockSize) {
    lanes ^= bytes_equal(load_block(from), wanted);
  }
  std::uint64_t words[2];
  std::memcpy(words, &lanes, sizeof(words));
  // Each odd lane is eight set bits; pairing the words keeps the parity.
  bool odd = (std::popcount(words[0] ^ words[1]) / 8) % 2 != 0;
  for (; from < end; ++from) odd = odd != (*from == wanted);
  return odd;
}

// The first byte from `from` up to `end` that is one of `kWanted`, or `end`;
// read a whole block at a time, up to 15 bytes past `end`.
template <char... kWanted>
inline const char* find_any(const char* from, const char* end) {
  for (; from < end; from += kBlockSize) {
    const ByteBlock block = load_block(from);
    const ByteBlock marks = (bytes_equal(block, kWanted) | ...);
    if (any_marked(marks)) return std::min(from + first_marked(marks), end);
  }
  return end;
}

}  // namespace Module1
