// _snwprintf and _vsnwprintf as the kernel exports them: Microsoft's wide
// printf, written without the C library's 32-bit wide routines.
//
// Microsoft's conventions, which differ from ISO C's:
//  - in a wide printf %s and %c take wide text and %S and %C narrow text; h
//    forces narrow and l or w forces wide (%hs, %ls, %ws, %hc, %lc, %wc);
//  - %Z takes an ANSI_STRING, %wZ (or %lZ) a UNICODE_STRING; a NULL string or
//    Buffer prints "(null)", as does a NULL %s. Counted strings print Length
//    bytes and ignore any precision;
//  - l and I32 are 32 bits (Windows' long), ll and I64 64 bits, I and z the
//    width of a pointer;
//  - %p prints the pointer in uppercase hex, zero-padded to its full width;
//  - the 0 flag pads every field with zeros, strings included, unless - is
//    given or an integer has a precision;
//  - a % followed by a character with no meaning as a conversion copies that
//    character (so %% gives %), dropping the conversion;
//  - narrow text is widened byte by byte (the Latin-1 code page).
// The result does not need to fit: see SimVsnwprintf for what is written.
#include <cstdarg>
#include <cstdint>
#include <string>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/verifier.h"

namespace {

// Collects the output: stores what fits in `count` characters and counts all
// of it, so the caller can tell whether it fitted.
class Sink {
 public:
  Sink(WCHAR* buffer, SIZE_T count) : buffer_(buffer), count_(buffer ? count : 0) {}

  void Put(WCHAR c) {
    if (length_ < count_) buffer_[length_] = c;
    ++length_;
  }
  void Repeat(WCHAR c, long n) {
    for (; n > 0; --n) Put(c);
  }
  // The routine's result; a terminator only when there is room for it.
  int Finish() {
    if (length_ < count_) {
      buffer_[length_] = 0;
      return (int)length_;
    }
    return length_ == count_ ? (int)length_ : -1;
  }

 private:
  WCHAR* buffer_;
  SIZE_T count_;
  SIZE_T length_ = 0;
};

enum Flags : unsigned { kLeft = 1, kPlus = 2, kSpace = 4, kAlternate = 8, kZero = 16 };

// The argument size a length modifier names.
enum class Size { Default, Char, Short, Long, Int32, Int64, Pointer };

struct Spec {
  unsigned flags = 0;
  long width = 0;
  long precision = -1;  // none
  Size size = Size::Default;
  WCHAR conversion = 0;  // 0: the format ended inside the conversion
};

const WCHAR* ParseFlags(const WCHAR* f, Spec& spec) {
  for (;; ++f) {
    switch (*f) {
      case L'-': spec.flags |= kLeft; break;
      case L'+': spec.flags |= kPlus; break;
      case L' ': spec.flags |= kSpace; break;
      case L'#': spec.flags |= kAlternate; break;
      case L'0': spec.flags |= kZero; break;
      default: return f;
    }
  }
}

// A decimal number or '*' (taken from the arguments); *value is untouched
// when there is neither.
const WCHAR* ParseNumber(const WCHAR* f, long* value, va_list* args) {
  if (*f == L'*') {
    *value = va_arg(*args, int);
    return f + 1;
  }
  if (*f < L'0' || *f > L'9') return f;
  long n = 0;
  for (; *f >= L'0' && *f <= L'9'; ++f) n = n * 10 + (*f - L'0');
  *value = n;
  return f;
}

const WCHAR* ParseSize(const WCHAR* f, Spec& spec) {
  switch (*f) {
    case L'h':
      if (f[1] == L'h') return spec.size = Size::Char, f + 2;
      return spec.size = Size::Short, f + 1;
    case L'l':
      if (f[1] == L'l') return spec.size = Size::Int64, f + 2;
      return spec.size = Size::Long, f + 1;
    case L'w': return spec.size = Size::Long, f + 1;
    case L'z': return spec.size = Size::Pointer, f + 1;
    case L'I':
      if (f[1] == L'6' && f[2] == L'4') return spec.size = Size::Int64, f + 3;
      if (f[1] == L'3' && f[2] == L'2') return spec.size = Size::Int32, f + 3;
      return spec.size = Size::Pointer, f + 1;
    default: return f;
  }
}

// Reads the conversion after a '%'; returns where the format goes on.
const WCHAR* ParseSpec(const WCHAR* f, Spec& spec, va_list* args) {
  f = ParseFlags(f, spec);
  f = ParseNumber(f, &spec.width, args);
  if (spec.width < 0) {  // a negative '*' width means left-justified
    spec.flags |= kLeft;
    spec.width = -spec.width;
  }
  if (*f == L'.') {
    spec.precision = 0;
    f = ParseNumber(f + 1, &spec.precision, args);
    if (spec.precision < 0) spec.precision = -1;  // a negative '*' precision is none
  }
  f = ParseSize(f, spec);
  spec.conversion = *f;
  return *f ? f + 1 : f;
}

WCHAR Widen(char c) { return (WCHAR)(unsigned char)c; }
WCHAR Widen(WCHAR c) { return c; }

// Lays out one field: blanks, prefix (sign or 0x), zeros, text, blanks.
template <typename Char>
void EmitField(Sink& out, const Spec& spec, const char* prefix, const Char* text, SIZE_T length) {
  SIZE_T prefixLength = 0;
  while (prefix[prefixLength]) ++prefixLength;
  long padding = spec.width - (long)(prefixLength + length);
  bool zeros = (spec.flags & kZero) && !(spec.flags & kLeft);
  if (!(spec.flags & kLeft) && !zeros) out.Repeat(L' ', padding);
  for (SIZE_T i = 0; i < prefixLength; ++i) out.Put(Widen(prefix[i]));
  if (zeros) out.Repeat(L'0', padding);
  for (SIZE_T i = 0; i < length; ++i) out.Put(Widen(text[i]));
  if (spec.flags & kLeft) out.Repeat(L' ', padding);
}

int64_t SignedArgument(Size size, va_list* args) {
  switch (size) {
    case Size::Char: return (signed char)va_arg(*args, int);
    case Size::Short: return (short)va_arg(*args, int);
    case Size::Int64: return va_arg(*args, long long);
    case Size::Pointer: return va_arg(*args, intptr_t);
    default: return va_arg(*args, int);
  }
}

uint64_t UnsignedArgument(Size size, va_list* args) {
  switch (size) {
    case Size::Char: return (unsigned char)va_arg(*args, unsigned);
    case Size::Short: return (unsigned short)va_arg(*args, unsigned);
    case Size::Int64: return va_arg(*args, unsigned long long);
    case Size::Pointer: return va_arg(*args, uintptr_t);
    default: return va_arg(*args, unsigned);
  }
}

// d i u o x X p.
void FormatInteger(Sink& out, Spec spec, va_list* args) {
  WCHAR c = spec.conversion;
  bool isSigned = c == L'd' || c == L'i';
  if (c == L'p') {
    spec.size = Size::Pointer;
    spec.precision = 2 * sizeof(void*);
  }
  uint64_t magnitude;
  bool negative = false;
  if (isSigned) {
    int64_t value = SignedArgument(spec.size, args);
    negative = value < 0;
    magnitude = negative ? 0 - (uint64_t)value : (uint64_t)value;
  } else {
    magnitude = UnsignedArgument(spec.size, args);
  }
  unsigned base = c == L'o' ? 8 : (c == L'x' || c == L'X' || c == L'p') ? 16 : 10;
  const char* digitSet = c == L'x' ? "0123456789abcdef" : "0123456789ABCDEF";
  if (spec.precision >= 0) spec.flags &= ~kZero;
  long precision = spec.precision >= 0 ? spec.precision : 1;

  std::string digits;
  for (uint64_t v = magnitude; v; v /= base) digits.insert(digits.begin(), digitSet[v % base]);
  if ((long)digits.size() < precision) digits.insert(0, precision - digits.size(), '0');
  if ((spec.flags & kAlternate) && base == 8 && (digits.empty() || digits[0] != '0')) digits.insert(0, 1, '0');

  const char* prefix = "";
  if (negative) prefix = "-";
  else if (isSigned && (spec.flags & kPlus)) prefix = "+";
  else if (isSigned && (spec.flags & kSpace)) prefix = " ";
  else if ((spec.flags & kAlternate) && base == 16 && magnitude) prefix = c == L'x' ? "0x" : "0X";
  EmitField(out, spec, prefix, digits.data(), digits.size());
}

bool WantsWide(const Spec& spec, bool wideByDefault) {
  if (spec.size == Size::Short || spec.size == Size::Char) return false;
  if (spec.size == Size::Long) return true;
  return wideByDefault;
}

// c C: the argument arrives promoted to int.
void FormatChar(Sink& out, const Spec& spec, va_list* args) {
  int value = va_arg(*args, int);
  if (WantsWide(spec, spec.conversion == L'c')) {
    WCHAR c = (WCHAR)value;
    EmitField(out, spec, "", &c, 1);
  } else {
    char c = (char)value;
    EmitField(out, spec, "", &c, 1);
  }
}

// Counts characters up to the terminator or the precision, whichever comes
// first, never reading past the precision.
template <typename Char>
SIZE_T BoundedLength(const Char* s, long precision) {
  SIZE_T n = 0;
  while ((precision < 0 || (long)n < precision) && s[n]) ++n;
  return n;
}

// s S.
void FormatString(Sink& out, const Spec& spec, va_list* args) {
  static const char kNull[] = "(null)";
  if (WantsWide(spec, spec.conversion == L's')) {
    const WCHAR* s = va_arg(*args, const WCHAR*);
    if (s) return EmitField(out, spec, "", s, BoundedLength(s, spec.precision));
  } else {
    const char* s = va_arg(*args, const char*);
    if (s) return EmitField(out, spec, "", s, BoundedLength(s, spec.precision));
  }
  EmitField(out, spec, "", kNull, BoundedLength(kNull, spec.precision));
}

// Z: a counted string, printed to its Length.
void FormatCounted(Sink& out, const Spec& spec, va_list* args) {
  static const char kNull[] = "(null)";
  if (spec.size == Size::Long) {
    PCUNICODE_STRING s = va_arg(*args, PCUNICODE_STRING);
    if (s && s->Buffer) return EmitField(out, spec, "", s->Buffer, s->Length / sizeof(WCHAR));
  } else {
    const ANSI_STRING* s = va_arg(*args, const ANSI_STRING*);
    if (s && s->Buffer) return EmitField(out, spec, "", s->Buffer, s->Length);
  }
  EmitField(out, spec, "", kNull, sizeof kNull - 1);
}

void Convert(Sink& out, const Spec& spec, va_list* args) {
  switch (spec.conversion) {
    case L'd': case L'i': case L'u': case L'o': case L'x': case L'X': case L'p':
      return FormatInteger(out, spec, args);
    case L'c': case L'C': return FormatChar(out, spec, args);
    case L's': case L'S': return FormatString(out, spec, args);
    case L'Z': return FormatCounted(out, spec, args);
    case L'e': case L'E': case L'f': case L'g': case L'G': case L'a': case L'A':
      sim::VerifierStop(sim::Rule::KernelStop, nullptr,
                        "_vsnwprintf: floating-point conversions are not implemented by the simulated kernel");
    default: return out.Put(spec.conversion);
  }
}

}  // namespace

extern "C" {

int SimSnwprintf(WCHAR* buffer, SIZE_T count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  int result = SimVsnwprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

// Writes at most `count` characters. Returns the length when the output and a
// terminator fit; `count` when the output is exactly `count` characters (no
// terminator); -1 when it is longer (the first `count` characters written, no
// terminator).
int SimVsnwprintf(WCHAR* buffer, SIZE_T count, const WCHAR* format, va_list args) {
  // The caller's va_list may be used again after we return: read a copy.
  va_list ap;
  va_copy(ap, args);
  Sink out(buffer, count);
  for (const WCHAR* f = format; *f;) {
    if (*f != L'%') {
      out.Put(*f++);
      continue;
    }
    Spec spec;
    f = ParseSpec(f + 1, spec, &ap);
    if (!spec.conversion) break;
    Convert(out, spec, &ap);
  }
  va_end(ap);
  return out.Finish();
}

}  // extern "C"
