// Placeholder: wide-character routines (being written).
#include "sim/ddk/ntddk.h"
#include "sim/kernel/verifier.h"
using namespace sim;
#define TODO(name) VerifierStop(Rule::KernelStop, nullptr, #name " is not implemented yet")
extern "C" {
SIZE_T SimWcslen(const WCHAR* s) { SIZE_T n = 0; while (s[n]) ++n; return n; }
WCHAR* SimWcscpy(WCHAR*, const WCHAR*) { TODO(wcscpy); }
WCHAR* SimWcsncpy(WCHAR*, const WCHAR*, SIZE_T) { TODO(wcsncpy); }
WCHAR* SimWcscat(WCHAR*, const WCHAR*) { TODO(wcscat); }
int SimWcscmp(const WCHAR*, const WCHAR*) { TODO(wcscmp); }
int SimWcsncmp(const WCHAR*, const WCHAR*, SIZE_T) { TODO(wcsncmp); }
int SimWcsicmp(const WCHAR*, const WCHAR*) { TODO(_wcsicmp); }
int SimWcsnicmp(const WCHAR*, const WCHAR*, SIZE_T) { TODO(_wcsnicmp); }
WCHAR* SimWcschr(const WCHAR*, WCHAR) { TODO(wcschr); }
WCHAR* SimWcsrchr(const WCHAR*, WCHAR) { TODO(wcsrchr); }
WCHAR* SimWcsstr(const WCHAR*, const WCHAR*) { TODO(wcsstr); }
WCHAR* SimWcsupr(WCHAR*) { TODO(_wcsupr); }
WCHAR* SimWcslwr(WCHAR*) { TODO(_wcslwr); }
int SimSnwprintf(WCHAR*, SIZE_T, const WCHAR*, ...) { TODO(_snwprintf); }
int SimVsnwprintf(WCHAR*, SIZE_T, const WCHAR*, va_list) { TODO(_vsnwprintf); }
}
