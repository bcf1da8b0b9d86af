#include "platform/win32/system_text.h"

#if SFX_LOAD_CALLS_AT_START
#include <stdio.h>
#endif

#include "core/context.h"
#include "core/text.h"
#include "platform/platform.h"

SystemCalls sys;
int wideCalls;
int foreignCodePage;
int foreignWide;

namespace {

// A module line starts with '*', or with '+' for the wide road's own calls.
// A name whose form the road chooses ends in 'W' until the ANSI road changes
// it to 'A' in place; no fixed name ends in 'W' (checked below).
#define SFX_MODULE_NAME(module) "*" #module "\0"
#define SFX_WIDE_MODULE_NAME(module) "+" #module "\0"
#define SFX_CALL_NAME(result, name, parameters) #name "W\0"
#define SFX_EXACT_NAME(result, name, parameters) #name "\0"
#define SFX_NAME_OF(name) #name
#define SFX_FIXED_NAME(name) SFX_NAME_OF(name) "\0"

// Where a module's line starts in the table's names, found as the program is
// compiled.
constexpr uint32_t LineOf(const char* names, const char* line) {
  for (uint32_t at = 0;; ++at) {
    uint32_t n = 0;
    while (line[n] != '\0' && names[at + n] == line[n]) ++n;
    if (line[n] == '\0' && names[at + n] == '\0') return at;
  }
}

}  // namespace

char callNames[] = SFX_SYSTEM_CALLS(SFX_MODULE_NAME, SFX_CALL_NAME, SFX_FIXED_NAME,
                                    SFX_WIDE_MODULE_NAME, SFX_EXACT_NAME);
extern const uint32_t kUser32Line =
    LineOf(SFX_SYSTEM_CALLS(SFX_MODULE_NAME, SFX_CALL_NAME, SFX_FIXED_NAME, SFX_WIDE_MODULE_NAME,
                            SFX_EXACT_NAME), "*user32");

namespace {
#define SFX_NOTHING(...)
#define SFX_CHECK_FIXED(name)                                                   \
  static_assert(SFX_NAME_OF(name)[sizeof(SFX_NAME_OF(name)) - 2] != 'W',        \
                "a fixed call's name ends in W: " SFX_NAME_OF(name));
SFX_SYSTEM_CALLS(SFX_NOTHING, SFX_NOTHING, SFX_CHECK_FIXED, SFX_NOTHING, SFX_NOTHING)
#undef SFX_NOTHING
#undef SFX_CHECK_FIXED
#undef SFX_MODULE_NAME
#undef SFX_WIDE_MODULE_NAME
#undef SFX_CALL_NAME
#undef SFX_EXACT_NAME
#undef SFX_NAME_OF
#undef SFX_FIXED_NAME

constexpr UINT kCodePage = 932;
const char codePageQueryName[] = "GetACP";
// Every text the program hands over fits a message (kMessageCap bytes), so
// it fits this many units; longer ones would be cut at a whole character.
constexpr uint32_t kTextUnits = 1024;
static_assert(kTextUnits <= 0xFFFF, "a result's room fits every call's count");
wchar_t resultBuffer[kTextUnits];
// The converted texts of the last calls: no call takes more than three.
wchar_t convertedTexts[4][kTextUnits];
uint32_t nextConverted;
uint32_t lastUnits;   // of the last conversion

int Lookup(int wide) {
  void** slot = reinterpret_cast<void**>(&sys);
  HMODULE module = nullptr;
  for (char* p = callNames; *p != '\0'; p += TextLength(p) + 1) {
    if (*p == '*' || *p == '+') {
      // The wide road's own calls come last.
      if (*p == '+' && !wide) break;
      module = LoadLibraryA(p + 1);
      continue;
    }
    char& last = p[TextLength(p) - 1];
    if (last == 'W' && !wide) last = 'A';
    // A module that did not load leaves a null one, and then only the
    // program's own exports are searched: none has a system call's name.
    void* found = reinterpret_cast<void*>(GetProcAddress(module, p));
    if (found == nullptr) return 0;
    *slot++ = found;
  }
  return 1;
}

// The bytes code page 932 gives a unit, when they give the unit back: a
// best-fit byte (0x5C for the yen sign, 'e' for an e with an accent) would
// name another character, or a separator.
uint32_t Bytes932(wchar_t unit, char* out) {
  int n = sys.WideCharToMultiByte(kCodePage, 0, &unit, 1, out, 2, nullptr, nullptr);
  wchar_t back[2];
  if (n <= 0 || sys.MultiByteToWideChar(kCodePage, 0, out, n, back, 2) != 1 || back[0] != unit)
    return 0;
  return static_cast<uint32_t>(n);
}

}  // namespace

int LoadSystemCalls(int allowWide) {
  // The high bit of the version is clear on Windows NT alone.
  wideCalls = allowWide && (GetVersion() & 0x80000000u) == 0 && Lookup(1);
  if (!wideCalls && !Lookup(0)) return 0;
  // Looked up apart, so that a system without it keeps the road it had (as
  // on code page 932). The table's first line names kernel32.
  using CodePageQuery = UINT(WINAPI*)();
  auto ansiCodePage = reinterpret_cast<CodePageQuery>(reinterpret_cast<void*>(
      GetProcAddress(sys.GetModuleHandleA(callNames + 1), codePageQueryName)));
  int foreign = ansiCodePage != nullptr && ansiCodePage() != kCodePage;
  if (wideCalls) foreignWide = foreign; else foreignCodePage = foreign;
  return 1;
}

int CarriesText(const char* text) { return !foreignCodePage || IsAscii(text); }

uint32_t ToWide(const char* text, wchar_t* out, uint32_t capacity) {
  if (capacity == 0) return 0;
  uint32_t n = 0;
  for (; *text != '\0' && n + 1 < capacity; ++n) {
    uint32_t length = 4;
    wchar_t unit = static_cast<wchar_t>(DecodeForeignUnit(text));
    if (unit == 0) {
      length = CharLength(text);
      if (sys.MultiByteToWideChar(kCodePage, 0, text, static_cast<int>(length), &unit, 1) != 1)
        unit = L'?';
    }
    out[n] = unit;
    text += length;
  }
  out[n] = L'\0';
  return n;
}

uint32_t FromWide(const wchar_t* text, char* out, uint32_t capacity, int cut) {
  uint32_t n = 0;
  for (; *text != L'\0'; ++text) {
    char bytes[4];
    uint32_t length = Bytes932(*text, bytes);
    if (length == 0) {
      EncodeForeignUnit(static_cast<uint16_t>(*text), bytes);
      length = 4;
    }
    if (n + length >= capacity) {
      if (!cut) n = 0;
      break;
    }
    for (uint32_t i = 0; i < length; ++i) out[n++] = bytes[i];
  }
  out[n] = '\0';
  return n;
}

const void* SystemText(const char* text) {
  if (!wideCalls || text == nullptr) return text;
  wchar_t* out = convertedTexts[nextConverted++ % 4];
  lastUnits = ToWide(text, out, kTextUnits);
  return out;
}

uint32_t SystemTextBytes(const char* text) {
  return wideCalls ? (lastUnits + 1) * sizeof(wchar_t) : TextLength(text) + 1;
}

void* ResultBuffer(char* out) { return wideCalls ? static_cast<void*>(resultBuffer) : out; }

// Either road: no result of the program's is that long.
uint32_t ResultRoom(uint32_t capacity) { return capacity > kTextUnits ? kTextUnits : capacity; }

uint32_t TakeResult(char* out, uint32_t capacity, int cut) {
  return FromWide(resultBuffer, out, capacity, cut);
}

#if SFX_LOAD_CALLS_AT_START
// Programs with the C runtime (the builder for Windows, the benchmark) have no
// entry of their own to load the calls; they keep the ANSI road, on which
// their command lines come. Without its calls such a program would fail at
// the first one, so it ends at once, saying why.
namespace {
int LoadOrEnd() {
  if (LoadSystemCalls(0)) return 1;
  fputs("this Windows lacks a system call the program needs\n", stderr);   // unbuffered
  ExitProcess(1);
}
const int callsLoaded = LoadOrEnd();
}  // namespace
#endif
