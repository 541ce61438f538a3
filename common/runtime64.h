// The compiler's helpers for 64-bit division on x86, served by the kernel's
// own routines: libgcc's copies would bring unwind tables into the image.
// Included by exactly one source file of each driver; the Windows build only.
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
extern "C" {
long long __stdcall _alldiv(long long Dividend, long long Divisor);
unsigned long long __stdcall _aulldiv(unsigned long long Dividend, unsigned long long Divisor);
long long __stdcall _allrem(long long Dividend, long long Divisor);
unsigned long long __stdcall _aullrem(unsigned long long Dividend, unsigned long long Divisor);

long long __divdi3(long long a, long long b) { return _alldiv(a, b); }
unsigned long long __udivdi3(unsigned long long a, unsigned long long b) { return _aulldiv(a, b); }
long long __moddi3(long long a, long long b) { return _allrem(a, b); }
unsigned long long __umoddi3(unsigned long long a, unsigned long long b) { return _aullrem(a, b); }
}
#endif
