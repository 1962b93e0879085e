// Text built in storage of a fixed size, for code that may run while another
// thread holds the heap or a runtime lock: the crash path formats its log
// line in one on its own stack, and every log line's prefix is formatted
// the same way. Appending never allocates and never fails; text beyond the
// capacity is cut off and remembered as truncated.
#pragma once

#include <cstddef>

class FixedText {
 public:
  static constexpr std::size_t kCapacity = 511;

  FixedText() { text_[0] = '\0'; }

  FixedText& Append(const char* text);
  FixedText& Append(const char* text, std::size_t length);
  FixedText& Append(char c) { return Append(&c, 1); }
  // Decimal digits, with a leading '-' for a negative value.
  FixedText& AppendDecimal(long long value);
  // Decimal digits, padded with '0' on the left to at least `width` digits.
  FixedText& AppendUnsigned(unsigned long long value, int width = 0);

  const char* c_str() const { return text_; }
  std::size_t size() const { return size_; }
  bool truncated() const { return truncated_; }

 private:
  char text_[kCapacity + 1];
  std::size_t size_ = 0;
  bool truncated_ = false;
};
