// sfxhelper: programs the end-to-end scenarios need beside the self-extractor.
//
//   sfxhelper.exe marker FILE
//       Writes FILE into the current directory: its command line and its
//       current directory, one per line, in UTF-8 as the system holds them
//       (UTF-16), whatever the ANSI code page. A self-extractor's command
//       starts it.
//   sfxhelper.exe progman LOG [silent | ansi]
//       A Program Manager for the DDE conversation: a top-level Unicode window
//       of class "Progman", as the real one on Windows NT is, that answers the
//       initiate for application and topic "PROGMAN", acknowledges each
//       execute (unless silent) and answers the terminate, as the real one
//       does. LOG (UTF-8) gets one line per message, in order; an execute is
//       followed by its command, each of its lines as "| " and the line, so
//       that every character of it shows. The command is UTF-16 when the
//       client's window is a Unicode one too, else ANSI text, read in the ANSI
//       code page as the real one reads it. With ansi it reads every command
//       as ANSI text, as some servers do, and refuses (a negative
//       acknowledge, logged "refused") one that is no text there: UTF-16,
//       whose second byte is zero. Runs until it is ended; "ready" is logged
//       once the window exists.
//   sfxhelper.exe shortpath PATH OUT
//       Writes the short (8.3) form of PATH into the file OUT (UTF-8).
//   sfxhelper.exe regquery KEY OUT
//       Writes the default value of the registry key KEY (HKCR\..., HKCU\...,
//       HKLM\...) into OUT (UTF-8), read as the system holds it; exits 1 when
//       the key or its default value does not exist. The registry tool writes
//       the ANSI code page, which cannot hold every text.
#include <windows.h>
#include <dde.h>

#include <string>

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;
bool silent = false;
bool ansiOnly = false;

void Log(const std::string& line) {
  std::string text = line + "\r\n";
  DWORD written;
  WriteFile(logFile, text.data(), (DWORD)text.size(), &written, nullptr);
  FlushFileBuffers(logFile);
}

std::string Utf8(const wchar_t* text, size_t n) {
  if (n == 0) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text, (int)n, nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, (int)n, &out[0], size, nullptr, nullptr);
  return out;
}

std::string Utf8(const std::wstring& text) { return Utf8(text.data(), text.size()); }

// Text of the ANSI code page, as a program of that code page reads it.
std::wstring FromAnsi(const char* bytes, size_t n) {
  if (n == 0) return std::wstring();
  int wide = MultiByteToWideChar(CP_ACP, 0, bytes, (int)n, nullptr, 0);
  std::wstring w(wide, L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes, (int)n, &w[0], wide);
  return w;
}

void LogCommand(const std::wstring& text) {
  Log("execute");
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == L'\n') {
      Log("| " + Utf8(text.data() + start, i - start));
      start = i + 1;
    }
  }
}

// The command of an execute block, as far as its terminating zero (or the
// block's end): UTF-16 between two Unicode windows, else ANSI text.
std::wstring CommandOf(const void* block, SIZE_T size, bool wide) {
  if (wide) {
    const wchar_t* text = (const wchar_t*)block;
    size_t n = 0;
    while (n < size / sizeof(wchar_t) && text[n] != L'\0') ++n;
    return std::wstring(text, n);
  }
  const char* text = (const char*)block;
  size_t n = 0;
  while (n < size && text[n] != '\0') ++n;
  return FromAnsi(text, n);
}

bool IsProgmanAtom(ATOM atom) {
  wchar_t name[64] = {};
  if (atom == 0 || GlobalGetAtomNameW(atom, name, 64) == 0) return false;
  return lstrcmpiW(name, L"PROGMAN") == 0;
}

LRESULT CALLBACK ServerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND client = (HWND)wParam;
  switch (message) {
    case WM_DDE_INITIATE: {
      ATOM application = LOWORD(lParam), topic = HIWORD(lParam);
      if (!IsProgmanAtom(application) || !IsProgmanAtom(topic)) return 0;
      Log("initiate");
      // The acknowledge of an initiate is sent, with atoms of the server's own.
      SendMessageW(client, WM_DDE_ACK, (WPARAM)window,
                   MAKELPARAM(GlobalAddAtomW(L"PROGMAN"), GlobalAddAtomW(L"PROGMAN")));
      return 0;
    }
    case WM_DDE_EXECUTE: {
      UINT_PTR low = 0, high = 0;
      UnpackDDElParam(WM_DDE_EXECUTE, lParam, &low, &high);
      HGLOBAL block = (HGLOBAL)high;
      const void* data = GlobalLock(block);
      WORD status = 0x8000;
      if (data != nullptr) {
        SIZE_T size = GlobalSize(block);
        if (ansiOnly && size >= 2 && static_cast<const char*>(data)[1] == '\0') {
          Log("refused");
          status = 0;
        } else {
          LogCommand(CommandOf(data, size, !ansiOnly && IsWindowUnicode(client) != FALSE));
        }
        GlobalUnlock(block);
      } else {
        Log("execute <no block>");
      }
      if (silent) {
        FreeDDElParam(WM_DDE_EXECUTE, lParam);
        return 0;
      }
      LPARAM answer = ReuseDDElParam(lParam, WM_DDE_EXECUTE, WM_DDE_ACK, status, high);
      PostMessageW(client, WM_DDE_ACK, (WPARAM)window, answer);
      return 0;
    }
    case WM_DDE_TERMINATE:
      Log("terminate");
      PostMessageW(client, WM_DDE_TERMINATE, (WPARAM)window, 0);
      return 0;
    case WM_DDE_ACK:
      Log("unexpected acknowledge");
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int RunProgman(const wchar_t* log) {
  logFile = CreateFileW(log, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (logFile == INVALID_HANDLE_VALUE) return 2;
  WNDCLASSW cls = {};
  cls.lpfnWndProc = ServerProc;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.lpszClassName = L"Progman";
  if (!RegisterClassW(&cls)) return 2;
  HWND window = CreateWindowW(L"Progman", L"Program Manager", WS_OVERLAPPED, 0, 0, 10, 10,
                              nullptr, nullptr, cls.hInstance, nullptr);
  if (window == nullptr) return 2;
  Log("ready");
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

int WriteUtf8File(const wchar_t* path, const std::string& text) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  DWORD written;
  WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr);
  CloseHandle(file);
  return 0;
}

int WriteShortPath(const wchar_t* path, const wchar_t* out) {
  wchar_t shortForm[MAX_PATH] = {};
  DWORD n = GetShortPathNameW(path, shortForm, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  return WriteUtf8File(out, Utf8(shortForm, n));
}

int WriteMarker(const wchar_t* name) {
  wchar_t directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  return WriteUtf8File(name, "cmdline=" + Utf8(GetCommandLineW()) + "\ncwd=" +
                                 Utf8(directory) + "\n");
}

int WriteRegistryDefault(const std::wstring& name, const wchar_t* out) {
  static const struct {
    const wchar_t* name;
    HKEY key;
  } kRoots[] = {{L"HKCR", HKEY_CLASSES_ROOT}, {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                {L"HKCU", HKEY_CURRENT_USER}, {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                {L"HKLM", HKEY_LOCAL_MACHINE}, {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}};
  size_t slash = name.find(L'\\');
  std::wstring root = name.substr(0, slash);
  std::wstring path = slash == std::wstring::npos ? std::wstring() : name.substr(slash + 1);
  HKEY top = nullptr;
  for (const auto& r : kRoots)
    if (lstrcmpiW(root.c_str(), r.name) == 0) top = r.key;
  if (top == nullptr) return 2;
  HKEY key;
  if (RegOpenKeyExW(top, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return 1;
  DWORD type = 0, size = 0;
  LONG status = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &size);
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (status == ERROR_SUCCESS)
    status = RegQueryValueExW(key, nullptr, nullptr, &type, (BYTE*)&value[0], &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return 1;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return 3;
  value.resize(size / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return WriteUtf8File(out, Utf8(value));
}

}  // namespace

// The arguments as the system holds them: the ANSI ones cannot carry a path
// outside the ANSI code page.
int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 2;
  if (argc >= 3 && lstrcmpW(argv[1], L"marker") == 0) return WriteMarker(argv[2]);
  if (argc >= 4 && lstrcmpW(argv[1], L"shortpath") == 0) return WriteShortPath(argv[2], argv[3]);
  if (argc >= 4 && lstrcmpW(argv[1], L"regquery") == 0)
    return WriteRegistryDefault(argv[2], argv[3]);
  if (argc >= 3 && lstrcmpW(argv[1], L"progman") == 0) {
    silent = argc >= 4 && lstrcmpW(argv[3], L"silent") == 0;
    ansiOnly = argc >= 4 && lstrcmpW(argv[3], L"ansi") == 0;
    return RunProgman(argv[2]);
  }
  return 2;
}
