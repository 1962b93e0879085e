#include "crash/fixed_text.h"

FixedText& FixedText::Append(const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  return Append(text, length);
}

FixedText& FixedText::Append(const char* text, std::size_t length) {
  std::size_t room = kCapacity - size_;
  if (length > room) {
    length = room;
    truncated_ = true;
  }
  for (std::size_t i = 0; i < length; ++i) text_[size_ + i] = text[i];
  size_ += length;
  text_[size_] = '\0';
  return *this;
}

FixedText& FixedText::AppendDecimal(long long value) {
  if (value >= 0) return AppendUnsigned(static_cast<unsigned long long>(value));
  Append('-');
  // Negated in unsigned arithmetic, so that the most negative value works.
  return AppendUnsigned(0ull - static_cast<unsigned long long>(value));
}

FixedText& FixedText::AppendUnsigned(unsigned long long value, int width) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = count; i < width; ++i) Append('0');
  while (count > 0) Append(digits[--count]);
  return *this;
}
