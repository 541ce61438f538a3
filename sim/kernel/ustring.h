// Conversions between the drivers' 16-bit wide strings and the simulated
// kernel's std::u16string, without the C library's 32-bit wide routines.
#pragma once

#include <string>
#include <string_view>

#include "sim/ddk/ntddk.h"

namespace sim {

inline std::u16string ToU16(const WCHAR* s) {
  std::u16string out;
  while (s && *s) out += (char16_t)*s++;
  return out;
}

inline std::u16string ToU16(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string((const char16_t*)s->Buffer, s->Length / sizeof(WCHAR));
}

inline std::u16string Widen(std::string_view s) {
  std::u16string out;
  for (unsigned char c : s) out += (char16_t)c;
  return out;
}

// For messages: characters outside ASCII show as '?'.
inline std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += c < 128 ? (char)c : '?';
  return out;
}

inline char16_t UpcaseChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return (char16_t)(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (char16_t)(c - 32);  // Latin-1 letters
  return c;
}

inline std::u16string Upcase(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = UpcaseChar(c);
  return out;
}

// A UNICODE_STRING viewing `s` (which must outlive it).
inline UNICODE_STRING View(const std::u16string& s) {
  UNICODE_STRING u;
  u.Buffer = (PWSTR)s.data();
  u.Length = (USHORT)(s.size() * sizeof(WCHAR));
  u.MaximumLength = u.Length;
  return u;
}

}  // namespace sim
