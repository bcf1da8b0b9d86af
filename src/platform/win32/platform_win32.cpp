// The operating-system seam on Win32: each operation is the platform call of
// the same purpose. Every text result is terminated within its capacity; a
// result that does not fit counts as a failure and leaves an empty text.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <commdlg.h>
#include <shellapi.h>

// The seam's names for the special folders clash with the platform's macros.
#undef GetCurrentDirectory
#undef GetWindowsDirectory
#undef GetSystemDirectory

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
uint32_t FinishText(char* out, uint32_t capacity, uint32_t length) {
  if (capacity == 0) return 0;
  if (length == 0 || length >= capacity) {
    out[0] = '\0';
    return 0;
  }
  out[length] = '\0';
  return length;
}

}  // namespace

// ---- memory ----

void* AllocZeroed(uint32_t size) { return LocalAlloc(LPTR, size); }

void FreeMemory(void* block) {
  if (block != nullptr) LocalFree(block);
}

// ---- process ----

void EndProcess(int status) { ExitProcess(static_cast<UINT>(status)); }

int QueryPlatformId(uint32_t* platformId) {
  static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record of the first Win32 systems");
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExA(&info)) return 0;
  *platformId = info.dwPlatformId;
  return 1;
}

uint32_t TickCount() { return GetTickCount(); }

uint32_t GetOwnModulePath(InstanceHandle instance, char* out, uint32_t capacity) {
  // A cut path would name another file, so a path that does not fit is a failure.
  DWORD n = GetModuleFileNameA(reinterpret_cast<HMODULE>(instance), out, capacity);
  return FinishText(out, capacity, n);
}

// ---- files ----

FileHandle OpenExistingForRead(const char* path) {
  return FromHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle CreateForWrite(const char* path) {
  return FromHandle(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

int CloseFile(FileHandle file) { return CloseHandle(AsHandle(file)) ? 1 : 0; }

int ReadFromFile(FileHandle file, void* buffer, uint32_t count, uint32_t* got) {
  DWORD n = 0;
  BOOL ok = ReadFile(AsHandle(file), buffer, count, &n, nullptr);
  *got = n;
  return ok ? 1 : 0;
}

int WriteToFile(FileHandle file, const void* buffer, uint32_t count, uint32_t* written) {
  DWORD n = 0;
  BOOL ok = WriteFile(AsHandle(file), buffer, count, &n, nullptr);
  *written = n;
  return ok ? 1 : 0;
}

// The high half is passed so that positions from 2 GB on are taken as unsigned
// offsets rather than as negative moves.
static int MovePointer(FileHandle file, uint32_t distance, DWORD method, uint32_t* reached) {
  LONG high = 0;
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(AsHandle(file), static_cast<LONG>(distance), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 0;
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
  DWORD low = GetFileSize(AsHandle(file), &high);
  if (high != 0) return 0xFFFFFFFFu;   // larger than 4 GB: no 32-bit size
  return low;
}

int DeleteFileAt(const char* path) { return DeleteFileA(path) ? 1 : 0; }

uint32_t GetAttributesOf(const char* path) { return GetFileAttributesA(path); }

int SetAttributesOf(const char* path, uint32_t attributes) {
  return SetFileAttributesA(path, attributes) ? 1 : 0;
}

int GetFileDosTime(FileHandle file, uint32_t* packed) {
  FILETIME written;
  WORD date = 0, time = 0;
  if (!GetFileTime(AsHandle(file), nullptr, nullptr, &written)) return 0;
  if (!FileTimeToDosDateTime(&written, &date, &time)) return 0;
  *packed = (static_cast<uint32_t>(date) << 16) | time;
  return 1;
}

int SetFileDosTime(FileHandle file, uint32_t packed) {
  FILETIME written;
  if (!DosDateTimeToFileTime(static_cast<WORD>(packed >> 16), static_cast<WORD>(packed), &written))
    return 0;
  return SetFileTime(AsHandle(file), nullptr, nullptr, &written) ? 1 : 0;
}

// ---- directories and volumes ----

int MakeDirectory(const char* path) { return CreateDirectoryA(path, nullptr) ? 1 : 0; }

uint32_t QueryMaxComponentLength(const char* root) {
  DWORD maxComponent = 0;
  if (!GetVolumeInformationA(root, nullptr, 0, nullptr, &maxComponent, nullptr, nullptr, 0))
    return 0;
  return maxComponent;
}

uint32_t GetTempDirectory(char* out, uint32_t capacity) {
  return FinishText(out, capacity, GetTempPathA(capacity, out));
}

uint32_t GetWindowsDirectory(char* out, uint32_t capacity) {
  return FinishText(out, capacity, GetWindowsDirectoryA(out, capacity));
}

uint32_t GetSystemDirectory(char* out, uint32_t capacity) {
  return FinishText(out, capacity, GetSystemDirectoryA(out, capacity));
}

uint32_t GetCurrentDirectory(char* out, uint32_t capacity) {
  return FinishText(out, capacity, GetCurrentDirectoryA(capacity, out));
}

uint32_t SearchForFile(const char* name, char* out, uint32_t capacity) {
  char* filePart = nullptr;
  return FinishText(out, capacity, SearchPathA(nullptr, name, nullptr, capacity, out, &filePart));
}

uint32_t GetShortPath(const char* path, char* out, uint32_t capacity) {
  if (capacity == 0) return 0;
  // The callers convert in place (out == path) and keep the text as the query
  // left it when there is no short form, so a failure only re-terminates it.
  DWORD n = GetShortPathNameA(path, out, capacity);
  out[capacity - 1] = '\0';
  if (n == 0 || n >= capacity) {
    if (out != path) out[0] = '\0';
    return 0;
  }
  return n;
}

int GetDisplayTitle(const char* path, char* out, uint32_t capacity) {
  if (capacity == 0) return 0;
  WORD size = capacity > 0xFFFF ? 0xFFFF : static_cast<WORD>(capacity);
  short result = GetFileTitleA(path, out, size);
  if (result != 0) {
    out[0] = '\0';
    return 0;
  }
  out[size - 1] = '\0';
  return 1;
}

const char* PreviousChar(const char* start, const char* end) { return CharPrevA(start, end); }

// ---- environment, registry, profile ----

uint32_t GetEnvironmentText(const char* name, char* out, uint32_t capacity) {
  return FinishText(out, capacity, GetEnvironmentVariableA(name, out, capacity));
}

int ReadMachineRegistryString(const char* subkey, const char* valueName, char* out,
                              uint32_t capacity) {
  if (capacity == 0) return 0;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    out[0] = '\0';
    return 0;
  }
  DWORD type = REG_SZ;
  DWORD size = capacity;
  LONG status = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    out[0] = '\0';
    return 0;
  }
  // A stored string need not carry its terminator; one that fills the buffer
  // exactly loses its last byte (and a double-byte character is kept whole).
  uint32_t length = size < capacity ? size : capacity - 1;
  out[length] = '\0';
  out[WholeCharLength(out, length)] = '\0';
  return 1;
}

void SetClassesRootDefault(const char* keyPath, const char* classString, const char* value) {
  HKEY key;
  DWORD disposition;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, keyPath, 0, const_cast<char*>(classString),
                      REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                      &disposition) != ERROR_SUCCESS)
    return;
  RegSetValueExA(key, "", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), TextLength(value) + 1);
  RegCloseKey(key);
}

void WriteProfileEntry(const char* section, const char* key, const char* value) {
  WriteProfileStringA(section, key, value);
}

// ---- processes and the shell ----

void StartProgramAndWaitIdle(const char* commandLine, uint32_t waitMilliseconds) {
  // The command line must be writable; one that does not fit is not started
  // rather than started cut.
  char line[MAX_PATH];
  uint32_t length = TextLength(commandLine);
  if (length >= sizeof(line)) return;
  memcpy(line, commandLine, length + 1);
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, line, nullptr, nullptr, TRUE,
                      CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                      &process))
    return;
  WaitForInputIdle(process.hProcess, waitMilliseconds);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
}

void ShellOpen(WindowHandle owner, const char* file, const char* parameters,
               const char* directory) {
  const char* given = (parameters != nullptr && parameters[0] != '\0') ? parameters : nullptr;
  ShellExecuteA(reinterpret_cast<HWND>(owner), nullptr, file, given, directory, SW_SHOW);
}
