// What the builder needs of the host system, on Windows: paths are UTF-8 in
// the builder and UTF-16 towards the system; the code page 932 conversions
// are the system's own.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "host_os.h"

namespace hostos {
namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::string Reason(const std::string& path, DWORD error) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = text ? Utf8(text) : "error " + std::to_string(error);
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return path + ": " + message;
}

// FILETIME (100 ns since 1601) to seconds since 1970, and back.
int64_t UnixSeconds(const FILETIME& t) {
  uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ull) - 11644473600ll;
}

FILETIME FileTimeOf(uint32_t seconds) {
  uint64_t ticks = (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull;
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(ticks);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return t;
}

// Code page conversions; strict ones fail on what has no form.
bool ToWide(UINT codePage, const std::string& in, std::wstring* out) {
  out->clear();
  if (in.empty()) return true;
  int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                              nullptr, 0);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                      &(*out)[0], n);
  return true;
}

bool FromWide(UINT codePage, const std::wstring& in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  BOOL lossy = FALSE;
  BOOL* lossyOut = codePage == CP_UTF8 ? nullptr : &lossy;
  DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int n = WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0,
                              nullptr, lossyOut);
  if (n <= 0 || lossy) return false;
  out->resize(static_cast<size_t>(n));
  WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), &(*out)[0], n,
                      nullptr, nullptr);
  return true;
}

// The temporary being written, for the console-control handler.
wchar_t liveTemporary[MAX_PATH * 4] = L"";

BOOL WINAPI RemoveTemporaryOnBreak(DWORD) {
  if (liveTemporary[0] != L'\0') DeleteFileW(liveTemporary);
  return FALSE;   // the default handling ends the process
}

void SetLiveTemporary(const std::wstring& path) {
  static bool installed = false;
  if (!installed) {
    installed = true;
    SetConsoleCtrlHandler(RemoveTemporaryOnBreak, TRUE);
  }
  size_t n = path.size() < sizeof liveTemporary / sizeof liveTemporary[0] - 1 ? path.size() : 0;
  memcpy(liveTemporary, path.data(), n * sizeof(wchar_t));
  liveTemporary[n] = L'\0';
}

// Handles are kept in the int the POSIX build keeps its descriptors in:
// Windows keeps handle values within 32 bits, sign-extended.
HANDLE AsHandle(intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

}  // namespace

bool Stat(const std::string& path, FileInfo* info, std::string* why) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
    *why = Reason(path, GetLastError());
    return false;
  }
  info->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info->isRegular = !info->isDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
  info->readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  info->mtime = UnixSeconds(data.ftLastWriteTime);
  // The full path folded, to notice a folder that contains itself.
  std::string real = RealPath(path);
  uint64_t id = 1469598103934665603ull;
  for (char c : real) id = (id ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  info->id = id;
  return true;
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names, std::string* why) {
  names->clear();
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(Wide(JoinPath(path, "*")).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) {
    *why = Reason(path, GetLastError());
    return false;
  }
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names->push_back(Utf8(name));
  } while (FindNextFileW(find, &found));
  DWORD error = GetLastError();
  FindClose(find);
  if (error != ERROR_NO_MORE_FILES) {
    *why = Reason(path, error);
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data, std::string* why) {
  data->clear();
  InputFile in;
  if (!in.Open(path, why)) return false;
  uint8_t buffer[65536];
  for (;;) {
    size_t got = 0;
    if (!in.Read(buffer, sizeof buffer, &got, why)) return false;
    if (got == 0) return true;
    data->insert(data->end(), buffer, buffer + got);
  }
}

// ---- input ----

InputFile::~InputFile() {
  if (fd_ >= 0) CloseHandle(AsHandle(fd_));
}

bool InputFile::Open(const std::string& path, std::string* why) {
  path_ = path;
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *why = Reason(path, GetLastError());
    return false;
  }
  fd_ = static_cast<int>(reinterpret_cast<intptr_t>(h));
  return true;
}

bool InputFile::ReadAt(uint64_t at, void* data, size_t size, size_t* got, std::string* why) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(at);
  if (!SetFilePointerEx(AsHandle(fd_), to, nullptr, FILE_BEGIN)) {
    *why = Reason(path_, GetLastError());
    return false;
  }
  return Read(data, size, got, why);
}

bool InputFile::Read(void* data, size_t size, size_t* got, std::string* why) {
  *got = 0;
  while (*got < size) {
    DWORD want = static_cast<DWORD>(std::min<size_t>(size - *got, 1u << 30));
    DWORD n = 0;
    if (!ReadFile(AsHandle(fd_), static_cast<uint8_t*>(data) + *got, want, &n, nullptr)) {
      *why = Reason(path_, GetLastError());
      return false;
    }
    if (n == 0) break;
    *got += n;
  }
  return true;
}

bool InputFile::Rewind(std::string* why) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(AsHandle(fd_), zero, nullptr, FILE_BEGIN)) {
    *why = Reason(path_, GetLastError());
    return false;
  }
  return true;
}

// ---- output ----

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
  if (fd_ >= 0) {
    CloseHandle(AsHandle(fd_));
    fd_ = -1;
  }
  if (!temp_.empty()) {
    DeleteFileW(Wide(temp_).c_str());
    SetLiveTemporary(L"");
    temp_.clear();
  }
}

bool OutputFile::Create(const std::string& path, std::string* why) {
  path_ = path;
  // A name of its own beside the output, not taken by anyone else.
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::string temp = path + "." + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(GetTickCount() + attempt);
    std::wstring wide = Wide(temp);
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      fd_ = static_cast<int>(reinterpret_cast<intptr_t>(h));
      temp_ = temp;
      SetLiveTemporary(wide);
      size_ = 0;
      return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      *why = Reason(path, error);
      return false;
    }
  }
  *why = path + ": no temporary name is free";
  return false;
}

bool OutputFile::Write(const void* data, size_t size, std::string* why) {
  return WriteAt(size_, data, size, why);
}

// Runs one positioned read or write call per piece of at most 1 GB (a call
// counts in a DWORD) until size bytes at offset at are done; false when a
// call fails or moves nothing.
template <typename Call>
static bool InPieces(uint64_t at, size_t size, Call call) {
  size_t done = 0;
  while (done < size) {
    OVERLAPPED where = {};
    uint64_t offset = at + done;
    where.Offset = static_cast<DWORD>(offset);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD n = 0;
    if (!call(done, want, &n, &where) || n == 0) return false;
    done += n;
  }
  return true;
}

bool OutputFile::WriteAt(uint64_t at, const void* data, size_t size, std::string* why) {
  const bool written = InPieces(at, size, [&](size_t done, DWORD want, DWORD* n, OVERLAPPED* where) {
    return WriteFile(AsHandle(fd_), static_cast<const uint8_t*>(data) + done, want, n, where) != 0;
  });
  if (!written) {
    *why = Reason(path_, GetLastError());
    return false;
  }
  if (at + size > size_) size_ = at + size;
  return true;
}

bool OutputFile::ReadAt(uint64_t at, void* data, size_t size, std::string* why) {
  const bool read = InPieces(at, size, [&](size_t done, DWORD want, DWORD* n, OVERLAPPED* where) {
    return ReadFile(AsHandle(fd_), static_cast<uint8_t*>(data) + done, want, n, where) != 0;
  });
  if (!read) *why = path_ + ": cannot read back what was written";
  return read;
}

bool OutputFile::Truncate(uint64_t size, std::string* why) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(AsHandle(fd_), at, nullptr, FILE_BEGIN) || !SetEndOfFile(AsHandle(fd_))) {
    *why = Reason(path_, GetLastError());
    return false;
  }
  size_ = size;
  return true;
}

bool OutputFile::Commit(bool, std::string* why) {
  DWORD error = 0;
  if (!FlushFileBuffers(AsHandle(fd_))) error = GetLastError();
  CloseHandle(AsHandle(fd_));
  fd_ = -1;
  if (error == 0 && !MoveFileExW(Wide(temp_).c_str(), Wide(path_).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = GetLastError();
  if (error != 0) {
    *why = Reason(path_, error);
    Discard();
    return false;
  }
  SetLiveTemporary(L"");
  temp_.clear();
  return true;
}

bool MakeDirectories(const std::string& path, std::string* why) {
  std::string partial;
  for (size_t at = 0; at <= path.size();) {
    size_t slash = path.find_first_of("/\\", at);
    if (slash == std::string::npos) slash = path.size();
    partial = path.substr(0, slash);
    at = slash + 1;
    if (partial.empty() || (partial.size() == 2 && partial[1] == ':')) continue;
    DWORD attributes = GetFileAttributesW(Wide(partial).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *why = partial + ": not a folder";
        return false;
      }
      continue;
    }
    if (!CreateDirectoryW(Wide(partial).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      *why = Reason(partial, GetLastError());
      return false;
    }
  }
  return true;
}

bool SetModificationTime(const std::string& path, uint32_t seconds) {
  HANDLE h = CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME t = FileTimeOf(seconds);
  BOOL ok = SetFileTime(h, nullptr, nullptr, &t);
  CloseHandle(h);
  return ok != FALSE;
}

std::string RealPath(const std::string& path) {
  std::wstring wide = Wide(path);
  if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) return std::string();
  wchar_t buffer[32768];
  DWORD n = GetFullPathNameW(wide.c_str(), 32768, buffer, nullptr);
  if (n == 0 || n >= 32768) return std::string();
  std::string out = Utf8(std::wstring(buffer, n));
  for (char& c : out)
    if (c == '\\') c = '/';
  // Windows does not tell letter case apart in names.
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string RealPathOfNew(const std::string& path) {
  std::string base = BaseName(path);
  std::string folder = path.substr(0, path.size() - base.size());
  std::string real = RealPath(folder.empty() ? "." : folder);
  if (real.empty()) return std::string();
  for (char& c : base)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return JoinPath(real, base);
}

std::string BaseName(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && (path[end - 1] == '/' || path[end - 1] == '\\')) --end;
  if (end == 0) return std::string();
  size_t slash = path.find_last_of("/\\", end - 1);
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  if (start == 0 && end >= 2 && path[1] == ':') start = 2;
  return path.substr(start, end - start);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/' || dir.back() == '\\') return dir + name;
  return dir + "/" + name;
}


bool SeamPath(const std::string& path, std::string* out) {
  std::wstring wide;
  return ToWide(CP_UTF8, path, &wide) && FromWide(CP_ACP, wide, out);
}

std::string TemporaryFolder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  return n == 0 || n > MAX_PATH ? std::string(".") : Utf8(std::wstring(buffer, n));
}

bool RemoveFile(const std::string& path) { return DeleteFileW(Wide(path).c_str()) != FALSE; }

unsigned long ProcessId() { return GetCurrentProcessId(); }

std::string GetEnvironment(const char* name) {
  wchar_t buffer[32768];
  DWORD n = GetEnvironmentVariableW(Wide(name).c_str(), buffer, 32768);
  if (n == 0 || n >= 32768) return std::string();
  return Utf8(std::wstring(buffer, n));
}

std::string FormatUtc(uint32_t seconds) {
  time_t value = static_cast<time_t>(seconds);
  struct tm parts;
  char text[32];
  if (gmtime_s(&parts, &value) != 0 || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0)
    return "?";
  return text;
}

bool ErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
bool OutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
    int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

bool CopyToStandardOutput(const std::string& path, std::string* why) {
  FILE* in = _wfopen(Wide(path).c_str(), L"rb");
  if (in == nullptr) {
    *why = path + ": cannot be read";
    return false;
  }
  _setmode(_fileno(stdout), _O_BINARY);
  std::vector<char> buffer(1 << 20);
  bool ok = true;
  size_t n;
  while (ok && (n = fread(buffer.data(), 1, buffer.size(), in)) > 0) {
    if (fwrite(buffer.data(), 1, n, stdout) != n) {
      *why = "standard output: cannot be written";
      ok = false;
    }
  }
  fclose(in);
  return ok && fflush(stdout) == 0;
}

bool OutputTarget(const std::string& path, std::string* target, std::string* why) {
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *why = path + " is a folder, not a file the builder can replace";
    return false;
  }
  // Device names (NUL, CON, COM1 ...) name no file, in any folder.
  std::string base = BaseName(path);
  base = base.substr(0, base.find('.'));
  for (char& c : base) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  bool device = std::find_if(std::begin(kDevices), std::end(kDevices), [&](const char* d) {
                  return base == d;
                }) != std::end(kDevices);
  device |= base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
            base[3] >= '1' && base[3] <= '9';
  if (device) {
    *why = path + " is a device, not a file the builder can replace (-o - writes to standard "
                  "output)";
    return false;
  }
  *target = path;
  return true;
}

double MonotonicSeconds() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string ExecutablePath() {
  wchar_t buffer[32768];
  DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
  if (n == 0 || n >= 32768) return std::string();
  return Utf8(std::wstring(buffer, n));
}

bool ToShiftJis(const std::string& utf8, std::string* out) {
  std::wstring wide;
  return ToWide(CP_UTF8, utf8, &wide) && FromWide(932, wide, out);
}

bool FromShiftJis(const std::string& sjis, std::string* utf8) {
  std::wstring wide;
  return ToWide(932, sjis, &wide) && FromWide(CP_UTF8, wide, utf8);
}

std::string ToUtf8(const std::string& sjis) {
  // Byte by byte where the whole does not convert: '?' for what has no form.
  std::string out;
  if (FromShiftJis(sjis, &out)) return out;
  out.clear();
  for (size_t i = 0; i < sjis.size();) {
    size_t n = 1;
    uint8_t b = static_cast<uint8_t>(sjis[i]);
    if (((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) && i + 1 < sjis.size()) n = 2;
    std::string piece;
    out += FromShiftJis(sjis.substr(i, n), &piece) ? piece : "?";
    i += n;
  }
  return out;
}

std::string FromWide(const wchar_t* text) { return Utf8(text); }

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

}  // namespace hostos
