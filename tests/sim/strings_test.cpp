// Counted strings, the kernel's wide-character C library and _snwprintf, as
// NT documents them. Buffers are filled with a sentinel so that a write past
// the documented bounds (a terminator without room, a truncated copy running
// on) shows.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "sim/ddk/ntddk.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/ustring.h"
#include "tests/sim/testkit.h"

namespace {

constexpr WCHAR kSentinel = 0xCDCD;
constexpr ULONG kStringTag = 'S' | 't' << 8 | 'r' << 16 | 'g' << 24;

// A caller's buffer of `capacity` characters holding `text`, counted and not
// terminated; every character past the text is the sentinel.
struct Buffer {
  explicit Buffer(const std::u16string& text, size_t capacity) : chars(capacity + 4, kSentinel) {
    text.copy((char16_t*)chars.data(), text.size());
    string = {(USHORT)(text.size() * 2), (USHORT)(capacity * 2), chars.data()};
  }
  std::u16string Text() const { return std::u16string((const char16_t*)string.Buffer, string.Length / 2); }
  std::vector<WCHAR> chars;
  UNICODE_STRING string;
};

UNICODE_STRING Counted(const WCHAR* text, USHORT chars) { return {(USHORT)(chars * 2), (USHORT)(chars * 2), (PWSTR)text}; }

std::u16string U16(const WCHAR* s) { return std::u16string((const char16_t*)s, wcslen(s)); }

// Formats through _vsnwprintf, as a driver's logging helper would.
std::u16string Format(const WCHAR* format, ...) {
  WCHAR out[256];
  va_list args;
  va_start(args, format);
  int n = _vsnwprintf(out, 256, format, args);
  va_end(args);
  EXPECT_GE(n, 0) << "output did not fit";
  return n < 0 ? u"<overflow>" : std::u16string((const char16_t*)out, n);
}

const GUID kGuid = {0x12345678, 0x9abc, 0xdef0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};

}  // namespace

TEST(RtlInitString, LengthExcludesTerminatorAndNullSourceIsEmpty) {
  sim::Machine machine;
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, L"COM5");
  EXPECT_EQ(8, u.Length);
  EXPECT_EQ(10, u.MaximumLength);
  RtlInitUnicodeString(&u, nullptr);
  EXPECT_EQ(0, u.Length);
  EXPECT_EQ(0, u.MaximumLength);
  EXPECT_EQ(nullptr, u.Buffer);

  ANSI_STRING a;
  RtlInitAnsiString(&a, "COM5");
  EXPECT_EQ(4, a.Length);
  EXPECT_EQ(5, a.MaximumLength);
  RtlInitAnsiString(&a, nullptr);
  EXPECT_EQ(0, a.MaximumLength);
}

TEST(RtlInitString, SourceTooLongForUshortIsCappedWithRoomForTerminator) {
  sim::Machine machine;
  std::vector<WCHAR> wide(40000, L'x');
  wide.push_back(0);
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, wide.data());
  EXPECT_EQ(0xFFFC, u.Length);
  EXPECT_EQ(0xFFFE, u.MaximumLength);

  std::string narrow(70000, 'x');
  ANSI_STRING a;
  RtlInitAnsiString(&a, narrow.c_str());
  EXPECT_EQ(0xFFFE, a.Length);
  EXPECT_EQ(0xFFFF, a.MaximumLength);
}

TEST(RtlAppend, TerminatesOnlyWhenThereIsRoom) {
  sim::Machine machine;
  Buffer b(u"\\Dev", 8);
  ASSERT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&b.string, L"ic"));
  EXPECT_EQ(u"\\Devic", b.Text());
  EXPECT_EQ(0, b.chars[6]) << "terminator written when there is room";
  UNICODE_STRING tail = Counted(L"e0-ignored", 2);  // counted: only "e0"
  ASSERT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&b.string, &tail));
  EXPECT_EQ(u"\\Device0", b.Text());
  EXPECT_EQ(kSentinel, b.chars[8]) << "no terminator past MaximumLength";
  EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&b.string, nullptr));
}

TEST(RtlAppend, TooSmallLeavesDestinationUnchanged) {
  sim::Machine machine;
  Buffer b(u"abc", 5);
  std::vector<WCHAR> before = b.chars;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&b.string, L"def"));
  UNICODE_STRING source = Counted(L"def", 3);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeStringToString(&b.string, &source));
  EXPECT_EQ(6, b.string.Length);
  EXPECT_EQ(before, b.chars);
}

TEST(RtlCopyUnicodeString, TruncatesToMaximumLengthAndNullSourceEmpties) {
  sim::Machine machine;
  UNICODE_STRING source = Counted(L"SerialPort", 10);
  Buffer small(u"", 6);
  RtlCopyUnicodeString(&small.string, &source);
  EXPECT_EQ(u"Serial", small.Text());
  EXPECT_EQ(kSentinel, small.chars[6]);
  Buffer large(u"old", 16);
  RtlCopyUnicodeString(&large.string, &source);
  EXPECT_EQ(u"SerialPort", large.Text());
  EXPECT_EQ(0, large.chars[10]);
  RtlCopyUnicodeString(&large.string, nullptr);
  EXPECT_EQ(0, large.string.Length);
  EXPECT_EQ(32, large.string.MaximumLength);
}

TEST(RtlUnicodeStringToInteger, FollowsNtParsingRules) {
  sim::Machine machine;
  struct Case {
    const WCHAR* text;
    ULONG base;
    ULONG value;
  } cases[] = {
      {L"123", 10, 123},           {L"  -345", 10, (ULONG)-345}, {L"xyz", 10, 0},
      {L"   +678abc", 10, 678},    {L"   +678abc", 16, 0x678ABC}, {L"007", 10, 7},
      {L"789", 8, 7},              {L"FGH", 16, 15},             {L"      ", 10, 0},
      {L"\t\r\n 42", 10, 42},      {L"0A", 16, 10},              {L"ff", 16, 255},
      {L"0x1F", 0, 31},            {L"0o17", 0, 15},             {L"0b101", 0, 5},
      {L"-0x10", 0, (ULONG)-16},   {L"0X1F", 0, 0},              {L"0x1F", 16, 0},
      {L"0b1", 16, 0xB1},          {L"12", 0, 12},               {L"-", 10, 0},
      {L"4294967297", 10, 1},      {L"1 2", 10, 1},
  };
  for (const Case& c : cases) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, c.text);
    ULONG value = 0xDEAD;
    EXPECT_EQ(STATUS_SUCCESS, RtlUnicodeStringToInteger(&s, c.base, &value)) << sim::Narrow(U16(c.text));
    EXPECT_EQ(c.value, value) << "\"" << sim::Narrow(U16(c.text)) << "\" base " << c.base;
  }
}

TEST(RtlUnicodeStringToInteger, ReadsOnlyLengthAndRefusesEmptyStringOrOddBase) {
  sim::Machine machine;
  const WCHAR digits[] = {L'1', L'2', L'3', L'4'};  // no terminator
  UNICODE_STRING s = Counted(digits, 2);
  ULONG value = 0;
  EXPECT_EQ(STATUS_SUCCESS, RtlUnicodeStringToInteger(&s, 10, &value));
  EXPECT_EQ(12u, value);
  value = 0xDEAD;
  s = Counted(L"0x", 1);  // base 0: "0" alone, the 'x' lies past Length
  EXPECT_EQ(STATUS_SUCCESS, RtlUnicodeStringToInteger(&s, 0, &value));
  EXPECT_EQ(0u, value);
  value = 0xDEAD;
  s = Counted(L"7", 0);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlUnicodeStringToInteger(&s, 10, &value));
  s = Counted(L"7", 1);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlUnicodeStringToInteger(&s, 3, &value));
  EXPECT_EQ(0xDEADu, value);
}

TEST(RtlIntegerToUnicodeString, ConvertsInEveryBaseWithUppercaseHex) {
  sim::Machine machine;
  struct Case {
    ULONG value, base;
    std::u16string text;
  } cases[] = {{4294967295u, 0, u"4294967295"}, {0, 10, u"0"}, {0xBEEF, 16, u"BEEF"}, {8, 8, u"10"}, {5, 2, u"101"}};
  for (const Case& c : cases) {
    Buffer b(u"", 40);
    EXPECT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(c.value, c.base, &b.string));
    EXPECT_EQ(c.text, b.Text());
  }
  Buffer b(u"", 40);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlIntegerToUnicodeString(1, 7, &b.string));
}

TEST(RtlIntegerToUnicodeString, TooSmallOverflowsAndTerminatorNeedsRoom) {
  sim::Machine machine;
  Buffer exact(u"", 3);
  ASSERT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(115, 10, &exact.string));
  EXPECT_EQ(u"115", exact.Text());
  EXPECT_EQ(kSentinel, exact.chars[3]);
  Buffer small(u"9", 2);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlIntegerToUnicodeString(115, 10, &small.string));
  EXPECT_EQ(u"9", small.Text());
}

TEST(RtlCompareUnicodeString, DifferenceOfFirstDifferingCharactersThenOfLengths) {
  sim::Machine machine;
  UNICODE_STRING abc = Counted(L"abcX", 3), abd = Counted(L"abd", 3), ABC = Counted(L"ABC", 3), ab = Counted(L"ab", 2);
  EXPECT_EQ(L'c' - L'd', RtlCompareUnicodeString(&abc, &abd, FALSE));
  EXPECT_EQ(L'a' - L'A', RtlCompareUnicodeString(&abc, &ABC, FALSE));
  EXPECT_EQ(0, RtlCompareUnicodeString(&abc, &ABC, TRUE));
  EXPECT_LT(RtlCompareUnicodeString(&ab, &abc, FALSE), 0);
  EXPECT_GT(RtlCompareUnicodeString(&abc, &ab, TRUE), 0);
  UNICODE_STRING latin1 = Counted(L"\u00e9t\u00e9", 3), LATIN1 = Counted(L"\u00c9T\u00c9", 3);
  EXPECT_EQ(0, RtlCompareUnicodeString(&latin1, &LATIN1, TRUE));
}

TEST(RtlEqualAndPrefix, CompareCountedCharactersOnly) {
  sim::Machine machine;
  UNICODE_STRING pipe = Counted(L"PIPE00", 4), pipeLower = Counted(L"pipe", 4), pipes = Counted(L"Pipe01", 6);
  EXPECT_TRUE(RtlEqualUnicodeString(&pipe, &pipeLower, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&pipe, &pipeLower, FALSE));
  EXPECT_FALSE(RtlEqualUnicodeString(&pipe, &pipes, TRUE)) << "lengths differ";
  EXPECT_TRUE(RtlPrefixUnicodeString(&pipeLower, &pipes, TRUE));
  EXPECT_FALSE(RtlPrefixUnicodeString(&pipeLower, &pipes, FALSE));
  EXPECT_FALSE(RtlPrefixUnicodeString(&pipes, &pipe, TRUE)) << "a longer string is no prefix";
}

TEST(RtlUpcaseUnicodeString, IntoCallerBufferWithoutTerminator) {
  sim::Machine machine;
  UNICODE_STRING source = Counted(L"usb\u00e9-x", 5);
  Buffer b(u"", 5);
  ASSERT_EQ(STATUS_SUCCESS, RtlUpcaseUnicodeString(&b.string, &source, FALSE));
  EXPECT_EQ(u"USB\u00c9-", b.Text());
  EXPECT_EQ(kSentinel, b.chars[5]);
  Buffer small(u"", 4);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlUpcaseUnicodeString(&small.string, &source, FALSE));
  EXPECT_EQ(0, small.string.Length);
  Buffer inPlace(u"com7", 4);
  ASSERT_EQ(STATUS_SUCCESS, RtlUpcaseUnicodeString(&inPlace.string, &inPlace.string, FALSE));
  EXPECT_EQ(u"COM7", inPlace.Text());
  EXPECT_EQ(L'\u00c9', RtlUpcaseUnicodeChar(L'\u00e9'));
  EXPECT_EQ(L'\u00f7', RtlUpcaseUnicodeChar(L'\u00f7')) << "the division sign has no case";
}

TEST(KernelAllocatedStrings, BelongToTheCallingDriverUntilFreed) {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"strings");
  UNICODE_STRING source = Counted(L"merrow", 6), upper{}, guid{};
  testkit::AsDriver(driver, [&] {
    ASSERT_EQ(STATUS_SUCCESS, RtlUpcaseUnicodeString(&upper, &source, TRUE));
    ASSERT_EQ(STATUS_SUCCESS, RtlStringFromGUID(kGuid, &guid));
  });
  EXPECT_EQ(u"MERROW", sim::ToU16(&upper));
  EXPECT_EQ(12, upper.MaximumLength);
  EXPECT_EQ(u"{12345678-9ABC-DEF0-0123-456789ABCDEF}", sim::ToU16(&guid));
  EXPECT_EQ(76, guid.Length);
  EXPECT_EQ(78, guid.MaximumLength);
  EXPECT_EQ(0, guid.Buffer[38]);

  auto blocks = machine.Pool().Outstanding(driver);
  ASSERT_EQ(2u, blocks.size());
  for (auto& [address, block] : blocks) {
    EXPECT_EQ(kStringTag, block.tag);
    EXPECT_EQ(PagedPool, block.type);
  }
  testkit::AsDriver(driver, [&] {
    RtlFreeUnicodeString(&upper);
    RtlFreeUnicodeString(&guid);
  });
  EXPECT_EQ(nullptr, upper.Buffer);
  EXPECT_EQ(0, guid.Length);
  EXPECT_TRUE(machine.Pool().Outstanding(driver).empty());
  machine.UnloadDriver(driver);  // stops the test if anything leaked
}

TEST(KernelAllocatedStrings, AllocationFailureAllocatesNothing) {
  sim::Machine machine;
  PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"strings");
  machine.Pool().SetFaultPlan({.failTag = kStringTag});
  UNICODE_STRING source = Counted(L"x", 1), upper{}, guid{};
  testkit::AsDriver(driver, [&] {
    EXPECT_EQ(STATUS_NO_MEMORY, RtlUpcaseUnicodeString(&upper, &source, TRUE));
    EXPECT_EQ(STATUS_NO_MEMORY, RtlStringFromGUID(kGuid, &guid));
  });
  EXPECT_EQ(nullptr, guid.Buffer);
  EXPECT_TRUE(machine.Pool().Outstanding(driver).empty());
}

TEST(KernelAllocatedStringsDeathTest, LeakIsReportedAtUnloadByTag) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        PDRIVER_OBJECT driver = testkit::LoadDriver(machine, u"leaky");
        UNICODE_STRING guid;
        testkit::AsDriver(driver, [&] { RtlStringFromGUID(kGuid, &guid); });
        machine.UnloadDriver(driver);
      },
      "PoolLeak.*leaky.*'Strg'");
}

TEST(KernelStringsDeathTest, PageableRoutineAtDispatchLevelStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        UNICODE_STRING a = Counted(L"a", 1);
        KeRaiseIrqlToDpcLevel();
        RtlEqualUnicodeString(&a, &a, TRUE);
      },
      "IrqlPassive.*RtlEqualUnicodeString");
}

TEST(WideStringRoutines, CopyConcatenateSearch) {
  sim::Machine machine;
  WCHAR s[32];
  wcscpy(s, L"\\DosDevices\\");
  wcscat(s, L"COM5");
  EXPECT_EQ(u"\\DosDevices\\COM5", U16(s));
  EXPECT_EQ(16u, wcslen(s));
  EXPECT_EQ(s + 12, wcschr(s, L'C'));
  EXPECT_EQ(s + 11, wcsrchr(s, L'\\'));
  EXPECT_EQ(s + 16, wcschr(s, 0)) << "the terminator is part of the string";
  EXPECT_EQ(nullptr, wcschr(s, L'z'));
  EXPECT_EQ(s + 12, wcsstr(s, L"COM"));
  EXPECT_EQ(s, wcsstr(s, L""));
  EXPECT_EQ(nullptr, wcsstr(s, L"COM55"));
}

TEST(WideStringRoutines, NcpyPadsWithZerosAndLeavesFullCopyUnterminated) {
  sim::Machine machine;
  WCHAR d[6] = {1, 1, 1, 1, 1, 1};
  wcsncpy(d, L"ab", 5);
  EXPECT_EQ((std::vector<WCHAR>{L'a', L'b', 0, 0, 0, 1}), std::vector<WCHAR>(d, d + 6));
  wcsncpy(d, L"abcdefg", 3);
  EXPECT_EQ((std::vector<WCHAR>{L'a', L'b', L'c', 0, 0, 1}), std::vector<WCHAR>(d, d + 6));
}

TEST(WideStringRoutines, ComparisonsAndCaseMapping) {
  sim::Machine machine;
  EXPECT_EQ(0, wcscmp(L"Pipe", L"Pipe"));
  EXPECT_LT(wcscmp(L"Pipe", L"Pipes"), 0);
  EXPECT_GT(wcscmp(L"\u00e9", L"z"), 0) << "characters compare unsigned";
  EXPECT_EQ(0, wcsncmp(L"PIPE00", L"PIPE01", 5));
  EXPECT_NE(0, wcsncmp(L"PIPE00", L"PIPE01", 6));
  EXPECT_EQ(0, _wcsicmp(L"Pipe\u00c9", L"pIPE\u00e9"));
  EXPECT_EQ(0, _wcsnicmp(L"PIPE00", L"pipe01", 5));
  // Microsoft folds to lowercase, so '_' (0x5F) sorts before letters.
  EXPECT_GT(_wcsicmp(L"A", L"_"), 0);
  WCHAR s[] = L"Com\u00e9_x";
  EXPECT_EQ(u"COM\u00c9_X", U16(_wcsupr(s)));
  EXPECT_EQ(u"com\u00e9_x", U16(_wcslwr(s)));
}

TEST(Snwprintf, ResultAndTerminatorDependOnFit) {
  sim::Machine machine;
  WCHAR b[8];
  auto reset = [&] { std::fill(std::begin(b), std::end(b), kSentinel); };
  reset();
  EXPECT_EQ(3, _snwprintf(b, 4, L"%s", L"abc"));
  EXPECT_EQ(u"abc", U16(b)) << "terminated when it fits with the terminator";
  reset();
  EXPECT_EQ(3, _snwprintf(b, 3, L"abc"));
  EXPECT_EQ(kSentinel, b[3]) << "exactly count characters: no terminator";
  reset();
  EXPECT_EQ(-1, _snwprintf(b, 2, L"a%dc", 7));
  EXPECT_EQ(L'a', b[0]);
  EXPECT_EQ(L'7', b[1]);
  EXPECT_EQ(kSentinel, b[2]) << "one over: count characters, no terminator";
  reset();
  EXPECT_EQ(-1, _snwprintf(b, 0, L"a"));
  EXPECT_EQ(0, _snwprintf(b, 0, L""));
  EXPECT_EQ(kSentinel, b[0]) << "count 0 writes nothing";
}

TEST(Snwprintf, DriverNamesAndRegistryValues) {
  sim::Machine machine;
  EXPECT_EQ(u"EP2_SegmentSize", Format(L"EP%u_SegmentSize", 2u));
  EXPECT_EQ(u"\\Device\\Pipe03", Format(L"\\Device\\Pipe%02d", 3));
  EXPECT_EQ(u"\\DosDevices\\COM12", Format(L"\\DosDevices\\%ws%lu", L"COM", (ULONG)12));
  WCHAR name[] = {L'P', L'I', L'P', L'E', L'X'};
  UNICODE_STRING counted = Counted(name, 4);
  EXPECT_EQ(u"[PIPE] [(null)]", Format(L"[%wZ] [%wZ]", &counted, (PUNICODE_STRING) nullptr));
  UNICODE_STRING empty{0, 0, nullptr};
  EXPECT_EQ(u"(null)", Format(L"%wZ", &empty));
  ANSI_STRING ansi{3, 3, (PCHAR) "usbx"};
  EXPECT_EQ(u"usb", Format(L"%Z", &ansi));
}

TEST(Snwprintf, CharactersAndStringsFollowMicrosoftWidthRules) {
  sim::Machine machine;
  EXPECT_EQ(u"wide narrow narrow wide wide", Format(L"%s %hs %S %ls %ws", L"wide", "narrow", "narrow", L"wide", L"wide"));
  EXPECT_EQ(u"a b c d", Format(L"%c %hc %C %wc", L'a', 'b', 'c', L'd'));
  EXPECT_EQ(u"(null)|(nu", Format(L"%s|%.3hs", (PCWSTR) nullptr, (PCSTR) nullptr));
  EXPECT_EQ(u"  ab|ab  |00ab|a", Format(L"%4s|%-4s|%04s|%.1s", L"ab", L"ab", L"ab", L"ab"));
  const WCHAR unterminated[] = {L'x', L'y'};
  EXPECT_EQ(u"xy", Format(L"%.2s", unterminated)) << "precision bounds the read";
  EXPECT_EQ(u"\u00e9", Format(L"%hs", "\xe9")) << "narrow text widens byte by byte";
}

TEST(Snwprintf, IntegerConversions) {
  sim::Machine machine;
  EXPECT_EQ(u"-5 7 4294967295 ff FF 17", Format(L"%d %i %u %x %X %o", -5, 7, 0xFFFFFFFFu, 255, 255, 15));
  EXPECT_EQ(u"0xff 0XFF 017 0 0", Format(L"%#x %#X %#o %#x %#o", 255, 255, 15, 0, 0));
  EXPECT_EQ(u"+5 +0  5 -5", Format(L"%+d %+d % d % d", 5, 0, 5, -5));
  EXPECT_EQ(u"-0042|42   |  -42|007|     007||0", Format(L"%05d|%-5d|%5d|%.3d|%08.3d|%.0d|%#.0o", -42, 42, -42, 7, 7, 0, 0));
  EXPECT_EQ(u"-1 5 -1 4294967295 -2", Format(L"%hd %hu %ld %lu %I32d", 65535, 65541, (LONG)-1, 0xFFFFFFFFu, -2));
  EXPECT_EQ(u"1099511627776 -1 ffffffffff 18446744073709551615",
            Format(L"%I64u %I64d %llx %llu", 1ull << 40, -1ll, 0xFFFFFFFFFFull, ~0ull));
  EXPECT_EQ(u"4294967296 4294967296 -3", Format(L"%Iu %zu %Id", (SIZE_T)1 << 32, (SIZE_T)1 << 32, (LONG_PTR)-3));
  EXPECT_EQ(u"   42|42   |  042", Format(L"%*d|%*d|%*.*d", 5, 42, -5, 42, 5, 3, 42));
}

TEST(Snwprintf, PointerPercentAndUnknownConversions) {
  sim::Machine machine;
  EXPECT_EQ(u"00000000ABCDEF01", Format(L"%p", (void*)0xABCDEF01));
  EXPECT_EQ(u"100% y q", Format(L"100%% %y %5q"));
  EXPECT_EQ(u"end", Format(L"end%"));
}

TEST(Snwprintf, ArgumentsBeyondTheRegistersAreReadInOrder) {
  sim::Machine machine;
  // More arguments than x86-64 passes in registers, mixing sizes, so that the
  // stack part of the va_list is read too.
  EXPECT_EQ(u"1 2 3 4 5 6 7 8589934592 nine 10 k",
            Format(L"%d %d %d %d %d %d %d %I64d %s %hu %c", 1, 2, 3, 4, 5, 6, 7, 1ll << 33, L"nine", 10, L'k'));
}
