#include "frame_line.h"

#include <bit>
#include <cstring>

#include "records.h"

namespace rawcan {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

char* append(char* out, const char* text, std::size_t length) {
  std::memcpy(out, text, length);
  return out + length;
}

// Upper-case hex with at least `min_digits` digits, as "%0*X" prints it.
char* append_hex(char* out, uint32_t value, int min_digits) {
  int digits = 1;
  while (digits < 8 && (value >> (4 * digits)) != 0) {
    ++digits;
  }
  if (digits < min_digits) {
    digits = min_digits;
  }
  for (int i = digits - 1; i >= 0; --i) {
    *out++ = kHexDigits[(value >> (4 * i)) & 0xF];
  }
  return out;
}

// The value of a non-negative float times 10^4, rounded half to even from its
// exact binary value, which is how glibc's printf rounds "%.4f".
uint64_t scaled_by_ten_thousand(float value) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const int biased_exponent = static_cast<int>((bits >> 23) & 0xFF);
  uint64_t mantissa = bits & 0x7FFFFF;
  if (biased_exponent == 0) {
    if (mantissa == 0) {
      return 0;
    }
  } else {
    mantissa |= 0x800000;
  }
  // value == mantissa * 2^exponent
  const int exponent = (biased_exponent == 0 ? 1 : biased_exponent) - 150;
  const uint64_t scaled = mantissa * 10000;  // < 2^38
  if (exponent >= 0) {
    return scaled << exponent;  // only for values >= 2^23, far above our range
  }
  const int shift = -exponent;
  if (shift > 62) {
    return 0;  // below half of 0.0001
  }
  uint64_t quotient = scaled >> shift;
  const uint64_t remainder = scaled & ((uint64_t{1} << shift) - 1);
  const uint64_t half = uint64_t{1} << (shift - 1);
  if (remainder > half || (remainder == half && (quotient & 1) != 0)) {
    ++quotient;
  }
  return quotient;
}

char* append_seconds(char* out, float seconds) {
  const uint64_t scaled = scaled_by_ten_thousand(seconds);
  uint64_t whole = scaled / 10000;
  const auto fraction = static_cast<uint32_t>(scaled % 10000);
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  while (count > 0) {
    *out++ = digits[--count];
  }
  *out++ = '.';
  out[0] = static_cast<char>('0' + fraction / 1000);
  out[1] = static_cast<char>('0' + fraction / 100 % 10);
  out[2] = static_cast<char>('0' + fraction / 10 % 10);
  out[3] = static_cast<char>('0' + fraction % 10);
  return out + 4;
}

}  // namespace

float frame_seconds(const RawCanMessage& frame) {
  const uint32_t microseconds = (frame.time_low >> 5) | (frame.time_high << 27);
  return static_cast<float>(microseconds) / 1000000.0f;
}

std::size_t format_frame_line(const RawCanMessage& frame, char* out) {
  char* cursor = append_seconds(out, frame_seconds(frame));
  if (is_extended(frame)) {
    cursor = append(cursor, "  EXT-CAN-ID $", 14);
    cursor = append_hex(cursor, identifier(frame), 8);
  } else {
    cursor = append(cursor, "  STD-CAN-ID $", 14);
    cursor = append_hex(cursor, frame.id, 3);
  }
  cursor = append(cursor, ": ", 2);
  const int length = data_length(frame);
  for (int i = 0; i < length; ++i) {
    cursor[0] = '$';
    cursor[1] = kHexDigits[frame.data[i] >> 4];
    cursor[2] = kHexDigits[frame.data[i] & 0xF];
    cursor[3] = ' ';
    cursor += 4;
  }
  *cursor++ = '\n';
  return static_cast<std::size_t>(cursor - out);
}

}  // namespace rawcan
