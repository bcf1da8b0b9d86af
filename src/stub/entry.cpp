// The process entry. The stub has no C runtime: the entry takes the command
// line itself and ends the process with the run's status.
#include "platform/win32/system_text.h"

#include "platform/platform.h"
#include "run/run.h"
#include "startup/startup.h"

namespace {

// The longest command line Windows passes (32,767 units), each unit at most
// four bytes here.
char commandLine[32767 * 4 + 1];

// Libraries that the shell and the common dialogs load later must come from
// the system directory, never from the folder the self-extractor was started
// in (typically a downloads folder). Looked up at run time, since the first
// Win32 systems have neither call. The names stay with the writable data,
// whose file block has room where the code's has none.
char setDefaultName[] = "SetDefaultDllDirectories";
char setDirName[] = "SetDllDirectoryA";

void RestrictLibrarySearch() {
  HMODULE kernel = LoadLibraryA(callNames + 1);
  if (kernel == nullptr) return;
  using SetDefaultDirs = BOOL(WINAPI*)(DWORD);
  using SetDllDir = BOOL(WINAPI*)(LPCSTR);
  auto setDefault =
      reinterpret_cast<SetDefaultDirs>(reinterpret_cast<void*>(GetProcAddress(kernel, setDefaultName)));
  if (setDefault != nullptr && setDefault(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */)) return;
  auto setDir = reinterpret_cast<SetDllDir>(reinterpret_cast<void*>(GetProcAddress(kernel, setDirName)));
  if (setDir != nullptr) setDir("");   // at least drop the current directory
}

// The dialog is laid out in dialog units, so it comes out whole at any DPI;
// declared aware of the DPI, it is drawn at the screen's own resolution
// rather than stretched, blurred, from 96 DPI. Windows Vista and later have
// the call. It takes effect before the first window, and is made before the
// other libraries load, since a library may keep the DPI it loads with.
char dpiAwareName[] = "SetProcessDPIAware";

void DeclareDpiAware() {
  using SetAware = BOOL(WINAPI*)();
  auto setAware = reinterpret_cast<SetAware>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryA(callNames + kUser32Line + 1), dpiAwareName)));
  if (setAware != nullptr) setAware();
}

}  // namespace

// The stack the system hands over is only 4-byte aligned.
extern "C" __attribute__((noreturn, force_align_arg_pointer)) void __stdcall StubEntry() {
  RestrictLibrarySearch();
  DeclareDpiAware();
  if (!LoadSystemCalls(1)) ExitProcess(255);
  const char* line = static_cast<const char*>(sys.GetCommandLine());
  if (wideCalls) {
    // As Shift-JIS, with what code page 932 cannot hold as foreign units.
    FromWide(reinterpret_cast<const wchar_t*>(line), commandLine, sizeof commandLine, 1);
    line = commandLine;
  }
  const char* tail = SkipProgramName(line);
  int status = RunProgram(reinterpret_cast<InstanceHandle>(sys.GetModuleHandleA(nullptr)), tail);
  ExitProcess(static_cast<UINT>(status));
}
