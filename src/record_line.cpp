#include "record_line.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "failure.h"

namespace Module1 {
namespace {

// Sixteen bytes compared at once: a GCC and Clang vector type, which the
// compilers turn into the baseline vector instructions of the target (SSE2 on
// x86-64) without any code of the platform's own.
using Bytes = unsigned char __attribute__((vector_size(16)));
constexpr std::size_t kBlockSize = sizeof(Bytes);
static_assert(std::endian::native == std::endian::little,
              "the masks below number bytes from the low end of a word");

// The high bit of each byte of `word` gathered into eight bits, byte j's at
// bit j: every product term lands on its own bit, so nothing carries.
std::uint32_t high_bits(std::uint64_t word) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  constexpr std::uint64_t kGather = 0x0002040810204081ULL;
  return static_cast<std::uint32_t>(((word & kHighBits) * kGather) >> 56);
}

// Bit i set when byte i of the block at `bytes` is a comma.
std::uint32_t comma_bits(const char* bytes) {
  Bytes block;
  std::memcpy(&block, bytes, kBlockSize);
  Bytes commas;
  commas = block == ',';  // 0xFF where a byte is a comma, 0 elsewhere
  std::uint64_t halves[2];
  std::memcpy(halves, &commas, sizeof(halves));
  return high_bits(halves[0]) | (high_bits(halves[1]) << 8);
}

// The same for a block that the line ends inside: its bytes after the end of
// the line count as no comma.
std::uint32_t comma_bits_of_partial_block(std::string_view line, std::size_t offset) {
  char block[kBlockSize] = {};
  const std::size_t size = line.size() - offset;
  std::memcpy(block, line.data() + offset, size);
  return comma_bits(block);
}

std::string too_few_fields(std::size_t count) {
  return std::to_string(count) + " fields; a record needs at least " + std::to_string(kMinFields);
}

}  // namespace

void split_record(std::string_view line, FieldList& fields) {
  fields.line = line;
  fields.count = 0;
  if (line.empty()) return;

  // A comma is a separator when a quote stands on either side of it and it
  // does not start inside the previous separator (occurrences never overlap).
  // Only a long line is scanned past its fourth separator, to count its fields.
  const char* const text = line.data();
  const std::size_t size = line.size();
  const bool count_all = size >= kLongLine;
  std::size_t separators = 0;
  std::size_t field_start = 0;
  for (std::size_t block = 0; block < size; block += kBlockSize) {
    std::uint32_t commas = block + kBlockSize <= size ? comma_bits(text + block)
                                                      : comma_bits_of_partial_block(line, block);
    for (; commas != 0; commas &= commas - 1) {
      const std::size_t at = block + static_cast<std::size_t>(std::countr_zero(commas));
      if (at <= field_start || at + 1 >= size || text[at - 1] != '"' || text[at + 1] != '"') {
        continue;
      }
      if (separators < fields.separator_at.size()) fields.separator_at[separators] = at - 1;
      ++separators;
      field_start = at + 2;
      if (separators == fields.separator_at.size() && !count_all) {
        fields.count = kMinFields;
        return;
      }
    }
  }
  fields.count = separators + 1;
}

std::string_view code_field(const FieldList& fields) {
  if (fields.count <= kCodeFieldPosition) throw Failure::record(too_few_fields(fields.count));
  const std::size_t start = fields.separator_at[kCodeFieldPosition - 1] + kFieldSeparator.size();
  const std::size_t end = fields.count > kCodeFieldPosition + 1
                              ? fields.separator_at[kCodeFieldPosition]
                              : fields.line.size();
  return {fields.line.data() + start, end - start};
}

LinePieces join_record(const FieldList& fields, std::string_view carried_code) {
  if (fields.count < kMinFields) throw Failure::record(too_few_fields(fields.count));
  if (fields.count > kMaxFields) {
    throw Failure::record(std::to_string(fields.count) + " fields; a record holds at most " +
                          std::to_string(kMaxFields));
  }
  // Around the code field, the output is the input line itself.
  const std::string_view code = code_field(fields);
  const char* const line = fields.line.data();
  const char* const code_end = code.data() + code.size();
  return {
      std::string_view(line, static_cast<std::size_t>(code.data() - line)), carried_code,
      std::string_view(code_end, fields.line.size() - static_cast<std::size_t>(code_end - line))};
}

}  // namespace Module1
