// Bounds-checked UTF-8 decoding and encoding of single characters.

#ifndef OMBREL_TEXT_UTF8_H_
#define OMBREL_TEXT_UTF8_H_

#include <cstddef>

namespace ombrel::text::utf8 {

struct Decoded {
  char32_t code_point;
  // Bytes consumed; 0 marks a byte that does not begin a well-formed sequence (a stray
  // continuation byte, an overlong or surrogate form, a value above U+10FFFF, or a
  // sequence cut short). Such a byte counts as one character of its own.
  unsigned length;
};

// Decodes the multi-byte sequence at p, reading no byte at or beyond end.
// REQUIRES: p < end and *p >= 0x80.
inline Decoded decode(const unsigned char* p, const unsigned char* end) {
  const unsigned b0 = p[0];
  const std::size_t available = static_cast<std::size_t>(end - p);
  auto continuation = [](unsigned b) { return (b & 0xC0) == 0x80; };
  if (b0 < 0xC2) return {0, 0};
  if (b0 < 0xE0) {
    if (available < 2 || !continuation(p[1])) return {0, 0};
    return {((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu), 2};
  }
  if (b0 < 0xF0) {
    if (available < 3) return {0, 0};
    const unsigned b1 = p[1];
    const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
    const unsigned hi = b0 == 0xED ? 0x9F : 0xBF;  // no surrogates
    if (b1 < lo || b1 > hi || !continuation(p[2])) return {0, 0};
    return {((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (p[2] & 0x3Fu), 3};
  }
  if (b0 < 0xF5) {
    if (available < 4) return {0, 0};
    const unsigned b1 = p[1];
    const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80;  // no overlong forms
    const unsigned hi = b0 == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    if (b1 < lo || b1 > hi || !continuation(p[2]) || !continuation(p[3])) return {0, 0};
    return {((b0 & 0x07u) << 18) | ((b1 & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu), 4};
  }
  return {0, 0};
}

// Writes cp (REQUIRES: a scalar value) at out and returns the number of bytes written (1 to 4).
inline unsigned encode(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace ombrel::text::utf8

#endif  // OMBREL_TEXT_UTF8_H_
