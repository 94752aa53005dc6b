#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Module1 {

// A new code, or none: at most two bytes of text, held in one word with its
// length, so that it is picked and written without a branch and stays in a
// register: bytes 0 and 1 its text (0 past its end), byte 3 its length.
class Code {
 public:
  static constexpr std::size_t kMaxSize = 2;

  constexpr Code() = default;
  // `text` holds at most kMaxSize bytes.
  constexpr explicit Code(std::string_view text) : word_(word_of(text)) {}

  [[nodiscard]] std::string_view text() const { return {padded_text(), size()}; }
  // The text's bytes, kMaxSize of them whatever its length: copied whole, so
  // that the copy takes no branch on the length.
  [[nodiscard]] const char* padded_text() const { return reinterpret_cast<const char*>(&word_); }
  [[nodiscard]] std::size_t size() const { return word_ >> kSizeShift; }

  // The code itself unless it is none, else `otherwise`; by masking, not by a
  // branch, which codes that follow no pattern would mispredict (measured
  // against a plain conditional with run_benchmark; the README has the gain).
  [[nodiscard]] Code or_else(Code otherwise) const {
    const std::uint32_t keep_other = 0U - static_cast<std::uint32_t>(word_ == 0);
    Code picked;
    picked.word_ = (word_ & ~keep_other) | (otherwise.word_ & keep_other);
    return picked;
  }

 private:
  static constexpr unsigned kSizeShift = 24;

  static constexpr std::uint32_t word_of(std::string_view text) {
    std::uint32_t word = static_cast<std::uint32_t>(text.size()) << kSizeShift;
    for (std::size_t i = 0; i < text.size() && i < kMaxSize; ++i) {
      word |= std::uint32_t{static_cast<unsigned char>(text[i])} << (8 * i);
    }
    return word;
  }

  std::uint32_t word_ = 0;
};

// Renumbers one code field. When the field's text is exactly one of the old
// codes of the table, the result is that code's new code; otherwise the result
// is `carried_code` unchanged, so an unknown code takes the new code of the
// last known one (or none, before any code was known).
Code recode(std::string_view code_field, Code carried_code);

}  // namespace Module1
