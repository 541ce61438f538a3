// The wide-character string routines of the kernel's C library, on 16-bit
// WCHAR (glibc's are 32-bit and must never see a driver's strings). Case
// mapping covers ASCII and Latin-1, the letters the simulated kernel knows.
#include "sim/ddk/ntddk.h"
#include "sim/kernel/ustring.h"

using sim::UpcaseChar;

namespace {

WCHAR DowncaseChar(WCHAR c) {
  if (c >= L'A' && c <= L'Z') return (WCHAR)(c + 32);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return (WCHAR)(c + 32);  // Latin-1 letters
  return c;
}

// Compares at most `count` characters, after `fold` when given. Microsoft's
// case-insensitive routines fold to lowercase, which decides how letters
// order against [ \ ] ^ _ `.
int Compare(const WCHAR* a, const WCHAR* b, SIZE_T count, WCHAR (*fold)(WCHAR)) {
  for (SIZE_T i = 0; i < count; ++i) {
    int x = fold ? fold(a[i]) : a[i];
    int y = fold ? fold(b[i]) : b[i];
    if (x != y || x == 0) return x - y;
  }
  return 0;
}

constexpr SIZE_T kUnbounded = ~(SIZE_T)0;

}  // namespace

extern "C" {

SIZE_T SimWcslen(const WCHAR* s) {
  SIZE_T n = 0;
  while (s[n]) ++n;
  return n;
}

WCHAR* SimWcscpy(WCHAR* dst, const WCHAR* src) {
  for (SIZE_T i = 0; (dst[i] = src[i]) != 0; ++i) {}
  return dst;
}

// Copies at most `count` characters and pads the rest of them with zeros; no
// terminator when `src` is `count` characters or longer.
WCHAR* SimWcsncpy(WCHAR* dst, const WCHAR* src, SIZE_T count) {
  SIZE_T i = 0;
  for (; i < count && src[i]; ++i) dst[i] = src[i];
  for (; i < count; ++i) dst[i] = 0;
  return dst;
}

WCHAR* SimWcscat(WCHAR* dst, const WCHAR* src) {
  SimWcscpy(dst + SimWcslen(dst), src);
  return dst;
}

int SimWcscmp(const WCHAR* a, const WCHAR* b) { return Compare(a, b, kUnbounded, nullptr); }

int SimWcsncmp(const WCHAR* a, const WCHAR* b, SIZE_T count) { return Compare(a, b, count, nullptr); }

int SimWcsicmp(const WCHAR* a, const WCHAR* b) { return Compare(a, b, kUnbounded, DowncaseChar); }

int SimWcsnicmp(const WCHAR* a, const WCHAR* b, SIZE_T count) { return Compare(a, b, count, DowncaseChar); }

// The terminator counts as part of the string: searching for 0 finds it.
WCHAR* SimWcschr(const WCHAR* s, WCHAR c) {
  for (;; ++s) {
    if (*s == c) return (WCHAR*)s;
    if (!*s) return nullptr;
  }
}

WCHAR* SimWcsrchr(const WCHAR* s, WCHAR c) {
  const WCHAR* found = nullptr;
  for (;; ++s) {
    if (*s == c) found = s;
    if (!*s) return (WCHAR*)found;
  }
}

WCHAR* SimWcsstr(const WCHAR* haystack, const WCHAR* needle) {
  SIZE_T n = SimWcslen(needle);
  for (const WCHAR* s = haystack;; ++s) {
    if (Compare(s, needle, n, nullptr) == 0) return (WCHAR*)s;
    if (!*s) return nullptr;
  }
}

WCHAR* SimWcsupr(WCHAR* s) {
  for (WCHAR* p = s; *p; ++p) *p = UpcaseChar(*p);
  return s;
}

WCHAR* SimWcslwr(WCHAR* s) {
  for (WCHAR* p = s; *p; ++p) *p = DowncaseChar(*p);
  return s;
}

}  // extern "C"
