// Helpers shared by the benchmark programs: a clock, medians, generated
// text-like data, and the result rows that scripts/bench.sh gathers into its
// table.
//
// Benchmarks print figures; they never decide success. A result row is one
// line "ROW|<benchmark>|<measure>|<value>|<target>|<verdict>" on standard
// output; everything else the programs print is commentary for the reader.
// Header-only and portable, so that the native stream benchmark shares it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The formats are checked as C99 ones: the Windows build's C++ runtime
// formats with the C99 rules too (%zu, %llu).
#ifdef _WIN32
#define BENCH_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#else
#define BENCH_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#endif

namespace bench {

inline double Now() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline double Mean(const std::vector<double>& values) {
  if (values.empty()) return 0;
  double sum = 0;
  for (double v : values) sum += v;
  return sum / static_cast<double>(values.size());
}

// A small deterministic generator, so that every run measures the same bytes
// and the same offsets.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

 private:
  uint64_t state_;
};

// Script-like text: words of a skewed vocabulary, numbers, punctuation and
// line breaks. Both compressors reach a ratio of a few to one on it, like on
// a game's scripts and tables, unlike on zeros or on noise.
inline std::vector<uint8_t> TextLikeData(size_t size, uint64_t seed) {
  static const char* const kWords[] = {
      "the",    "and",     "she",     "said",    "door",   "light",  "morning", "window",
      "garden", "letter",  "quietly", "village", "summer", "never",  "again",   "station",
      "rain",   "promise", "forgot",  "between", "river",  "school", "answer",  "festival",
      "night",  "because", "looked",  "always",  "friend", "train",  "clock",   "remember",
      "flower", "someone", "library", "shadow",  "voice",  "sky",    "return",  "letters"};
  constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];
  Random random(seed);
  std::vector<uint8_t> out;
  out.reserve(size + 64);
  while (out.size() < size) {
    const uint64_t r = random.Next();
    // Skew: low indexes far more often than high ones.
    const size_t word = static_cast<size_t>((r & 0xFFFF) * (r >> 16 & 0xFFFF) %
                                            (kWordCount * kWordCount) / kWordCount);
    for (const char* p = kWords[word]; *p != 0; ++p) out.push_back(static_cast<uint8_t>(*p));
    switch (r >> 40 & 15) {
      case 0:
        out.push_back('.');
        out.push_back('\n');
        break;
      case 1: {
        out.push_back(' ');
        uint64_t n = r >> 48 & 0x3FF;
        char digits[8];
        int length = std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(n));
        out.insert(out.end(), digits, digits + length);
        out.push_back(',');
        out.push_back(' ');
        break;
      }
      default:
        out.push_back(' ');
    }
  }
  out.resize(size);
  return out;
}

BENCH_PRINTF_FORMAT inline std::string Format(const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

// One row of the summary table. `verdict` is "met", "MISSED by ..." or "-"
// for figures without a target.
inline void Row(const std::string& benchmark, const std::string& measure, const std::string& value,
                const std::string& target = "-", const std::string& verdict = "-") {
  std::printf("ROW|%s|%s|%s|%s|%s\n", benchmark.c_str(), measure.c_str(), value.c_str(),
              target.c_str(), verdict.c_str());
  std::fflush(stdout);
}

// A row for a ratio that should be at least `minimum` (throughput-like).
inline void RowAtLeast(const std::string& benchmark, const std::string& measure, double ratio,
                       double minimum) {
  Row(benchmark, measure, Format("%.3f", ratio), Format(">= %.2f", minimum),
      ratio >= minimum ? "met" : Format("MISSED by %.1f%%", (minimum - ratio) / minimum * 100));
}

// A row for a ratio that should be at most `maximum` (cost-like).
inline void RowAtMost(const std::string& benchmark, const std::string& measure, double ratio,
                      double maximum, const char* unit = "x") {
  Row(benchmark, measure, Format("%.3f%s", ratio, unit), Format("<= %.2f%s", maximum, unit),
      ratio <= maximum ? "met" : Format("MISSED by %.1f%%", (ratio - maximum) / maximum * 100));
}

BENCH_PRINTF_FORMAT inline void Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

}  // namespace bench
