// The operating-system seam on Win32: each operation is the platform call of
// the same purpose, in its wide or ANSI form (system_text.h). Every text
// result is terminated within its capacity; a result that does not fit counts
// as a failure and leaves an empty text.
#include "platform/win32/system_text.h"

#include "core/context.h"
#include "core/text.h"
#include "platform/platform.h"

namespace {

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// A handle the platform reports as invalid becomes the seam's "no file".
FileHandle FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<FileHandle>(handle);
}

// The platform's directory queries return the length written, or the size
// needed when the buffer is too small; only the first is a result.
// The call wrote into ResultBuffer(out) with ResultRoom(capacity).
uint32_t FinishText(char* out, uint32_t capacity, uint32_t length) {
  if (capacity == 0) return 0;
  if (length == 0 || length >= ResultRoom(capacity)) {
    out[0] = '\0';
    return 0;
  }
  if (wideCalls) return TakeResult(out, capacity, 0);
  out[length] = '\0';
  return length;
}

// The directory queries of either order of parameters.
uint32_t QueryRoomFirst(DWORD(WINAPI* query)(DWORD, void*), char* out, uint32_t capacity) {
  return FinishText(out, capacity, query(ResultRoom(capacity), ResultBuffer(out)));
}

uint32_t QueryBufferFirst(UINT(WINAPI* query)(void*, UINT), char* out, uint32_t capacity) {
  return FinishText(out, capacity, query(ResultBuffer(out), ResultRoom(capacity)));
}

}  // namespace

// ---- memory ----

void* AllocZeroed(uint32_t size) { return sys.LocalAlloc(LPTR, size); }

// The system ignores a null block.
void FreeMemory(void* block) { sys.LocalFree(block); }

// ---- process ----

void EndProcess(int status) { ExitProcess(static_cast<UINT>(status)); }

int QueryPlatformId(uint32_t* platformId) {
  static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record of the first Win32 systems");
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  if (!sys.GetVersionExA(&info)) return 0;
  *platformId = info.dwPlatformId;
  return 1;
}

uint32_t TickCount() { return sys.GetTickCount(); }

uint32_t GetOwnModulePath(InstanceHandle instance, char* out, uint32_t capacity) {
  // A cut path would name another file, so a path that does not fit is a failure.
  DWORD n = sys.GetModuleFileName(reinterpret_cast<HMODULE>(instance), ResultBuffer(out),
                                  ResultRoom(capacity));
  return FinishText(out, capacity, n);
}

// ---- files ----

FileHandle OpenExistingForRead(const char* path) {
  return FromHandle(sys.CreateFile(SystemText(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle CreateForWrite(const char* path) {
  return FromHandle(sys.CreateFile(SystemText(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

int CloseFile(FileHandle file) { return sys.CloseHandle(AsHandle(file)) ? 1 : 0; }

int ReadFromFile(FileHandle file, void* buffer, uint32_t count, uint32_t* got) {
  DWORD n = 0;
  BOOL ok = sys.ReadFile(AsHandle(file), buffer, count, &n, nullptr);
  *got = n;
  return ok ? 1 : 0;
}

int WriteToFile(FileHandle file, const void* buffer, uint32_t count, uint32_t* written) {
  DWORD n = 0;
  BOOL ok = sys.WriteFile(AsHandle(file), buffer, count, &n, nullptr);
  *written = n;
  return ok ? 1 : 0;
}

// The high half is passed so that positions from 2 GB on are taken as unsigned
// offsets rather than as negative moves.
static int MovePointer(FileHandle file, uint32_t distance, DWORD method, uint32_t* reached) {
  LONG high = 0;
  sys.SetLastError(NO_ERROR);
  DWORD low = sys.SetFilePointer(AsHandle(file), static_cast<LONG>(distance), &high, method);
  if (low == INVALID_SET_FILE_POINTER && sys.GetLastError() != NO_ERROR) return 0;
  if (high != 0) return 0;   // beyond what a 32-bit position can name
  if (reached) *reached = low;
  return 1;
}

int SeekFile(FileHandle file, uint32_t position, uint32_t* newPosition) {
  return MovePointer(file, position, FILE_BEGIN, newPosition);
}

int GetFilePosition(FileHandle file, uint32_t* position) {
  return MovePointer(file, 0, FILE_CURRENT, position);
}

uint32_t GetFileSizeOf(FileHandle file) {
  DWORD high = 0;
  DWORD low = sys.GetFileSize(AsHandle(file), &high);
  if (high != 0) return 0xFFFFFFFFu;   // larger than 4 GB: no 32-bit size
  return low;
}

int DeleteFileAt(const char* path) { return sys.DeleteFile(SystemText(path)) ? 1 : 0; }

uint32_t GetAttributesOf(const char* path) { return sys.GetFileAttributes(SystemText(path)); }

int SetAttributesOf(const char* path, uint32_t attributes) {
  return sys.SetFileAttributes(SystemText(path), attributes) ? 1 : 0;
}

int GetFileDosTime(FileHandle file, uint32_t* packed) {
  FILETIME written;
  WORD date = 0, time = 0;
  if (!sys.GetFileTime(AsHandle(file), nullptr, nullptr, &written)) return 0;
  if (!sys.FileTimeToDosDateTime(&written, &date, &time)) return 0;
  *packed = (static_cast<uint32_t>(date) << 16) | time;
  return 1;
}

int SetFileDosTime(FileHandle file, uint32_t packed) {
  FILETIME written;
  if (!sys.DosDateTimeToFileTime(static_cast<WORD>(packed >> 16), static_cast<WORD>(packed), &written))
    return 0;
  return sys.SetFileTime(AsHandle(file), nullptr, nullptr, &written) ? 1 : 0;
}

// ---- directories and volumes ----

int MakeDirectory(const char* path) { return sys.CreateDirectory(SystemText(path), nullptr) ? 1 : 0; }

uint32_t QueryMaxComponentLength(const char* root) {
  DWORD maxComponent = 0;
  // A drive's root ("D:\\") is ASCII: either form of the call takes it.
  if (!sys.GetVolumeInformationA(root, nullptr, 0, nullptr, &maxComponent, nullptr, nullptr, 0))
    return 0;
  return maxComponent;
}

uint32_t GetTempDirectory(char* out, uint32_t capacity) {
  return QueryRoomFirst(sys.GetTempPath, out, capacity);
}

uint32_t GetWindowsDirectory(char* out, uint32_t capacity) {
  return QueryBufferFirst(sys.GetWindowsDirectory, out, capacity);
}

uint32_t GetSystemDirectory(char* out, uint32_t capacity) {
  return QueryBufferFirst(sys.GetSystemDirectory, out, capacity);
}

uint32_t GetCurrentDirectory(char* out, uint32_t capacity) {
  return QueryRoomFirst(sys.GetCurrentDirectory, out, capacity);
}

uint32_t SearchForFile(const char* name, char* out, uint32_t capacity) {
  void* filePart = nullptr;
  return FinishText(out, capacity,
                    sys.SearchPath(nullptr, SystemText(name), nullptr, ResultRoom(capacity),
                                   ResultBuffer(out), &filePart));
}

uint32_t GetShortPath(const char* path, char* out, uint32_t capacity) {
  return FinishText(out, capacity,
                    sys.GetShortPathName(SystemText(path), ResultBuffer(out), ResultRoom(capacity)));
}

int GetDisplayTitle(const char* path, char* out, uint32_t capacity) {
  if (capacity == 0) return 0;
  // Never more than a WORD holds, nor more than out holds.
  const uint32_t room = ResultRoom(capacity);
  short result = sys.GetFileTitle(SystemText(path), ResultBuffer(out), static_cast<WORD>(room));
  if (result != 0) {
    out[0] = '\0';
    return 0;
  }
  if (wideCalls) return TakeResult(out, capacity, 0) != 0;
  out[room - 1] = '\0';
  return 1;
}

// Code page 932's rules whatever the system's code page: every text is Shift-JIS.
const char* PreviousChar(const char* start, const char* end) {
  const char* last = start;
  for (const char* p = start; p < end; p += CharLength(p)) last = p;
  return last;
}

// ---- environment, registry, profile ----

uint32_t GetEnvironmentText(const char* name, char* out, uint32_t capacity) {
  // Read under Win32s alone (TZ), where the ANSI form is the only one.
  uint32_t n = sys.GetEnvironmentVariableA(name, out, capacity);
  if (capacity == 0) return 0;
  if (n == 0 || n >= capacity) n = 0;
  out[n] = '\0';
  return n;
}

int ReadMachineRegistryString(const char* subkey, const char* valueName, char* out,
                              uint32_t capacity) {
  if (capacity == 0) return 0;
  HKEY key;
  if (sys.RegOpenKeyEx(HKEY_LOCAL_MACHINE, SystemText(subkey), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    out[0] = '\0';
    return 0;
  }
  DWORD type = REG_SZ;
  uint32_t room = ResultRoom(capacity);
  // Sizes are in bytes: two to a unit on the wide road.
  const uint32_t shift = wideCalls ? 1 : 0;
  DWORD size = room << shift;
  void* result = ResultBuffer(out);
  LONG status = sys.RegQueryValueEx(key, SystemText(valueName), nullptr, &type,
                                    static_cast<BYTE*>(result), &size);
  sys.RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    out[0] = '\0';
    return 0;
  }
  // A stored string need not carry its terminator; one that fills the buffer
  // exactly loses its last character (and a double-byte character is kept
  // whole). Converted, a value that does not fit is a failure.
  uint32_t length = size >> shift < room ? size >> shift : room - 1;
  if (wideCalls) {
    static_cast<wchar_t*>(result)[length] = L'\0';
    return TakeResult(out, capacity, 0) != 0;
  }
  out[length] = '\0';
  out[WholeCharLength(out, length)] = '\0';
  return 1;
}

void SetClassesRootDefault(const char* keyPath, const char* classString, const char* value) {
  HKEY key;
  DWORD disposition;
  if (sys.RegCreateKeyEx(HKEY_CLASSES_ROOT, SystemText(keyPath), 0,
                         const_cast<void*>(SystemText(classString)), REG_OPTION_NON_VOLATILE,
                         KEY_WRITE, nullptr, &key, &disposition) != ERROR_SUCCESS)
    return;
  const void* data = SystemText(value);
  // No value name is the key's own value.
  sys.RegSetValueEx(key, nullptr, 0, REG_SZ, data, SystemTextBytes(value));
  sys.RegCloseKey(key);
}

void WriteProfileEntry(const char* section, const char* key, const char* value) {
  // Written under Win32s alone, where the ANSI form is the only one.
  sys.WriteProfileStringA(section, key, value);
}

// ---- processes and the shell ----

void StartProgramAndWaitIdle(const char* commandLine, uint32_t waitMilliseconds) {
  // The command line must be writable; one that does not fit is not started
  // rather than started cut.
  char copy[MAX_PATH];
  uint32_t length = TextLength(commandLine);
  if (length >= sizeof(copy)) return;
  memcpy(copy, commandLine, length + 1);
  // A converted text is a copy of its own, as writable as the bytes.
  void* line = const_cast<void*>(SystemText(copy));
  // The ANSI and the wide start-up records have the same layout.
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  if (!sys.CreateProcess(nullptr, line, nullptr, nullptr, TRUE,
                      CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                      &process))
    return;
  sys.WaitForInputIdle(process.hProcess, waitMilliseconds);
  sys.CloseHandle(process.hProcess);
  sys.CloseHandle(process.hThread);
}

void ShellOpen(WindowHandle owner, const char* file, const char* parameters,
               const char* directory) {
  const char* given = (parameters != nullptr && parameters[0] != '\0') ? parameters : nullptr;
  sys.ShellExecute(reinterpret_cast<HWND>(owner), nullptr, SystemText(file), SystemText(given),
                   SystemText(directory), SW_SHOW);
}
