// The Win32 calls the program makes, looked up by name at start, and the
// texts they take.
//
// Inside the program every text is Shift-JIS. On Windows NT the calls that
// take or give texts are the wide ones, given texts converted from code page
// 932 explicitly, so that names and texts are right whatever the system's own
// code page is; what the system gives back is converted to code page 932, and
// a character that code page cannot hold travels as a foreign unit
// (core/text.h). Elsewhere (Win32s, Windows 9x: no wide calls) they are the
// ANSI ones, given the bytes as they are. Both forms are looked up by name, so
// that an image loads on systems that lack the other form; the other calls
// are looked up too, which takes fewer bytes than importing them.
#pragma once

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <commdlg.h>
#include <dde.h>
#include <shellapi.h>

#include <stdint.h>

// The seam's names for the special folders clash with the platform's macros.
#undef GetCurrentDirectory
#undef GetWindowsDirectory
#undef GetSystemDirectory

// Each call: result, name without its A or W, parameters. A text parameter is
// a void pointer: Shift-JIS bytes on the ANSI road, UTF-16 on the wide road.
// A name after a module line is looked up in that module. A FIXED call is
// taken as it is named, on both roads: by name at start rather than imported,
// since every import costs the image an address slot and a hint beside the
// name. The calls after WIDE_MODULE, which come last, exist once and are
// needed on the wide road only.
#define SFX_SYSTEM_CALLS(MODULE, CALL, FIXED, WIDE_MODULE, EXACT)                                \
  MODULE(kernel32)                                                                               \
  CALL(HANDLE, CreateFile, (const void*, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE)) \
  CALL(BOOL, CreateDirectory, (const void*, SECURITY_ATTRIBUTES*))                               \
  CALL(BOOL, CreateProcess, (const void*, void*, SECURITY_ATTRIBUTES*, SECURITY_ATTRIBUTES*, BOOL, \
                             DWORD, void*, const void*, STARTUPINFOA*, PROCESS_INFORMATION*))      \
  CALL(BOOL, DeleteFile, (const void*))                                                          \
  CALL(void*, GetCommandLine, ())                                                                \
  CALL(DWORD, GetCurrentDirectory, (DWORD, void*))                                               \
  CALL(DWORD, GetFileAttributes, (const void*))                                                  \
  CALL(DWORD, GetModuleFileName, (HMODULE, void*, DWORD))                                        \
  CALL(DWORD, GetShortPathName, (const void*, void*, DWORD))                                     \
  CALL(UINT, GetSystemDirectory, (void*, UINT))                                                  \
  CALL(DWORD, GetTempPath, (DWORD, void*))                                                       \
  CALL(UINT, GetWindowsDirectory, (void*, UINT))                                                 \
  CALL(DWORD, SearchPath, (const void*, const void*, const void*, DWORD, void*, void**))         \
  CALL(BOOL, SetCurrentDirectory, (const void*))                                                 \
  CALL(BOOL, SetFileAttributes, (const void*, DWORD))                                            \
  FIXED(CloseHandle) FIXED(DosDateTimeToFileTime) FIXED(FileTimeToDosDateTime)                   \
  FIXED(GetEnvironmentVariableA) FIXED(GetFileSize) FIXED(GetFileTime) FIXED(GetLastError)       \
  FIXED(GetModuleHandleA) FIXED(GetTickCount) FIXED(GetVersionExA) FIXED(GetVolumeInformationA)  \
  FIXED(GlobalAddAtomA) FIXED(GlobalAlloc) FIXED(GlobalDeleteAtom) FIXED(GlobalFree)             \
  FIXED(GlobalLock) FIXED(GlobalUnlock) FIXED(LocalAlloc) FIXED(LocalFree) FIXED(ReadFile)       \
  FIXED(SetFilePointer) FIXED(SetFileTime) FIXED(SetLastError)                                   \
  FIXED(WriteFile) FIXED(WriteProfileStringA)                                                    \
  MODULE(advapi32)                                                                               \
  CALL(LONG, RegCreateKeyEx, (HKEY, const void*, DWORD, void*, DWORD, REGSAM, SECURITY_ATTRIBUTES*, \
                              HKEY*, DWORD*))                                                     \
  CALL(LONG, RegOpenKeyEx, (HKEY, const void*, DWORD, REGSAM, HKEY*))                            \
  CALL(LONG, RegQueryValueEx, (HKEY, const void*, DWORD*, DWORD*, BYTE*, DWORD*))                \
  CALL(LONG, RegSetValueEx, (HKEY, const void*, DWORD, DWORD, const void*, DWORD))               \
  FIXED(RegCloseKey)                                                                             \
  MODULE(user32)                                                                                 \
  CALL(INT_PTR, DialogBoxParam, (HINSTANCE, const void*, HWND, DLGPROC, LPARAM))                 \
  CALL(UINT, GetDlgItemText, (HWND, int, void*, int))                                            \
  CALL(int, MessageBox, (HWND, const void*, const void*, UINT))                                  \
  CALL(BOOL, SetDlgItemText, (HWND, int, const void*))                                           \
  CALL(BOOL, SetWindowText, (HWND, const void*))                                                 \
  FIXED(BeginPaint) FIXED(CheckDlgButton) FIXED(CreateWindowExA) FIXED(DestroyIcon)              \
  FIXED(DispatchMessageA) FIXED(DrawIcon) FIXED(EnableWindow) FIXED(EndDialog) FIXED(EndPaint)   \
  FIXED(FindWindowA) FIXED(FreeDDElParam) FIXED(GetDlgCtrlID) FIXED(GetDlgItem) FIXED(GetFocus)  \
  FIXED(GetSystemMetrics) FIXED(GetWindowRect) FIXED(IsDialogMessageA) FIXED(IsIconic)           \
  FIXED(KillTimer) FIXED(LoadIconA) FIXED(PackDDElParam) FIXED(PeekMessageA) FIXED(PostMessageA) \
  FIXED(SendDlgItemMessageA) FIXED(SendMessageA) FIXED(SendMessageTimeoutA) FIXED(SetFocus)      \
  FIXED(SetTimer) FIXED(SetWindowLongPtrA) FIXED(SetWindowPos) FIXED(ShowWindow)                 \
  FIXED(TranslateMessage) FIXED(UnpackDDElParam) FIXED(WaitForInputIdle) FIXED(WaitMessage)     \
  MODULE(gdi32)                                                                                  \
  FIXED(GetMapMode) FIXED(SetMapMode)                                                            \
  MODULE(comdlg32)                                                                               \
  CALL(short, GetFileTitle, (const void*, void*, WORD))                                          \
  CALL(BOOL, GetOpenFileName, (OPENFILENAMEA*))                                                  \
  MODULE(shell32)                                                                                \
  CALL(HINSTANCE, ShellExecute, (HWND, const void*, const void*, const void*, const void*, INT)) \
  WIDE_MODULE(kernel32)                                                                          \
  EXACT(int, MultiByteToWideChar, (UINT, DWORD, const char*, int, wchar_t*, int))                \
  EXACT(int, WideCharToMultiByte, (UINT, DWORD, const wchar_t*, int, char*, int, const char*, BOOL*))

#define SFX_CALL_FIELD(result, name, parameters) result(WINAPI* name) parameters;
#define SFX_NO_FIELD(module)
// A fixed call keeps the system's own declaration; a name the headers map to
// another one (SetWindowLongPtrA on 32-bit Windows) is the one mapped to.
#define SFX_FIXED_FIELD(name) decltype(&::name) name;
struct SystemCalls {
  SFX_SYSTEM_CALLS(SFX_NO_FIELD, SFX_CALL_FIELD, SFX_FIXED_FIELD, SFX_NO_FIELD, SFX_CALL_FIELD)
};
#undef SFX_NO_FIELD
#undef SFX_FIXED_FIELD
#undef SFX_CALL_FIELD

extern SystemCalls sys;
// The table's names, each module on a line of its own ("*kernel32" first,
// "*user32" at kUser32Line): before the table is looked up, callNames + 1 and
// callNames + kUser32Line + 1 name those two libraries.
extern char callNames[];
extern const uint32_t kUser32Line;
// Non-zero on the wide road.
extern int wideCalls;
// Non-zero on the ANSI road where the ANSI code page is not 932.
extern int foreignCodePage;
// Non-zero on the wide road where the ANSI code page is not 932: a text of
// the system's code page could not carry every Shift-JIS character there.
extern int foreignWide;

// Looks the calls up: the wide forms on Windows NT when allowWide is set and
// all of them exist, else the ANSI forms. Zero when even those are missing.
int LoadSystemCalls(int allowWide);

// A text for a call: on the wide road a converted copy (one of a few that
// later calls reuse), else the text itself.
const void* SystemText(const char* text);
// Length in bytes, terminator included, of what SystemText gave for text,
// when it was the last text given.
uint32_t SystemTextBytes(const char* text);

// Where a call leaves a text result, and the room it may use there: on the
// wide road a buffer of its own, else out itself.
void* ResultBuffer(char* out);
uint32_t ResultRoom(uint32_t capacity);
// On the wide road, takes the result a call left in ResultBuffer(out) into
// out. Zero (and an empty text) when it does not fit whole, unless cut is
// set: then it keeps the whole characters that fit.
uint32_t TakeResult(char* out, uint32_t capacity, int cut);

// The conversions themselves. Both always terminate within their capacity
// (UTF-16 units for ToWide; FromWide's is never 0) and never split a
// character; FromWide returns 0 when the text does not fit whole and cut is
// not set.
uint32_t ToWide(const char* text, wchar_t* out, uint32_t capacity);
uint32_t FromWide(const wchar_t* text, char* out, uint32_t capacity, int cut);
