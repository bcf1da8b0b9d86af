// sfxhelper: programs the end-to-end scenarios need beside the self-extractor.
//
//   sfxhelper.exe marker FILE
//       Writes FILE into the current directory: its command line and its
//       current directory, one per line. A self-extractor's command starts it.
//   sfxhelper.exe progman LOG [silent]
//       A Program Manager for the DDE conversation: a top-level window of class
//       "Progman" that answers the initiate for application and topic
//       "PROGMAN", acknowledges each execute (unless silent) and answers the
//       terminate, as the real one does. LOG (UTF-8) gets one line per
//       message, in order; an execute is followed by its command, each of its
//       lines as "| " and the line, so that every byte of it shows. Runs until
//       it is ended; "ready" is logged once the window exists.
//   sfxhelper.exe shortpath PATH OUT
//       Writes the short (8.3) form of PATH into the file OUT (UTF-8).
#include <windows.h>
#include <dde.h>

#include <string>

namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;
bool silent = false;

void Log(const std::string& line) {
  std::string text = line + "\r\n";
  DWORD written;
  WriteFile(logFile, text.data(), (DWORD)text.size(), &written, nullptr);
  FlushFileBuffers(logFile);
}

// Code page 932 bytes as UTF-8.
std::string Utf8(const char* bytes, size_t n) {
  if (n == 0) return std::string();
  int wide = MultiByteToWideChar(932, 0, bytes, (int)n, nullptr, 0);
  std::wstring w(wide, L'\0');
  MultiByteToWideChar(932, 0, bytes, (int)n, &w[0], wide);
  int size = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], size, nullptr, nullptr);
  return out;
}

void LogCommand(const char* text, size_t n) {
  Log("execute");
  size_t start = 0;
  for (size_t i = 0; i <= n; ++i) {
    if (i == n || text[i] == '\n') {
      Log("| " + Utf8(text + start, i - start));
      start = i + 1;
    }
  }
}

bool IsProgmanAtom(ATOM atom) {
  char name[64] = {};
  if (atom == 0 || GlobalGetAtomNameA(atom, name, sizeof name) == 0) return false;
  return lstrcmpiA(name, "PROGMAN") == 0;
}

LRESULT CALLBACK ServerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND client = (HWND)wParam;
  switch (message) {
    case WM_DDE_INITIATE: {
      ATOM application = LOWORD(lParam), topic = HIWORD(lParam);
      if (!IsProgmanAtom(application) || !IsProgmanAtom(topic)) return 0;
      Log("initiate");
      // The acknowledge of an initiate is sent, with atoms of the server's own.
      SendMessageA(client, WM_DDE_ACK, (WPARAM)window,
                   MAKELPARAM(GlobalAddAtomA("PROGMAN"), GlobalAddAtomA("PROGMAN")));
      return 0;
    }
    case WM_DDE_EXECUTE: {
      UINT_PTR low = 0, high = 0;
      UnpackDDElParam(WM_DDE_EXECUTE, lParam, &low, &high);
      HGLOBAL block = (HGLOBAL)high;
      const char* text = (const char*)GlobalLock(block);
      if (text != nullptr) {
        SIZE_T size = GlobalSize(block);
        size_t n = 0;
        while (n < size && text[n] != '\0') ++n;
        LogCommand(text, n);
        GlobalUnlock(block);
      } else {
        Log("execute <no block>");
      }
      if (silent) {
        FreeDDElParam(WM_DDE_EXECUTE, lParam);
        return 0;
      }
      LPARAM answer = ReuseDDElParam(lParam, WM_DDE_EXECUTE, WM_DDE_ACK, 0x8000, high);
      PostMessageA(client, WM_DDE_ACK, (WPARAM)window, answer);
      return 0;
    }
    case WM_DDE_TERMINATE:
      Log("terminate");
      PostMessageA(client, WM_DDE_TERMINATE, (WPARAM)window, 0);
      return 0;
    case WM_DDE_ACK:
      Log("unexpected acknowledge");
      return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

int RunProgman(const char* log) {
  logFile = CreateFileA(log, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (logFile == INVALID_HANDLE_VALUE) return 2;
  WNDCLASSA cls = {};
  cls.lpfnWndProc = ServerProc;
  cls.hInstance = GetModuleHandleA(nullptr);
  cls.lpszClassName = "Progman";
  if (!RegisterClassA(&cls)) return 2;
  HWND window = CreateWindowA("Progman", "Program Manager", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                              nullptr, cls.hInstance, nullptr);
  if (window == nullptr) return 2;
  Log("ready");
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}

int WriteShortPath(const char* path, const char* out) {
  char shortForm[MAX_PATH] = {};
  DWORD n = GetShortPathNameA(path, shortForm, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  logFile = CreateFileA(out, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
  if (logFile == INVALID_HANDLE_VALUE) return 2;
  std::string text = Utf8(shortForm, n);
  DWORD written;
  WriteFile(logFile, text.data(), (DWORD)text.size(), &written, nullptr);
  CloseHandle(logFile);
  return 0;
}

int WriteMarker(const char* name) {
  char directory[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof directory, directory);
  std::string text = std::string("cmdline=") + GetCommandLineA() + "\ncwd=" + directory + "\n";
  HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  DWORD written;
  WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr);
  CloseHandle(file);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && lstrcmpA(argv[1], "marker") == 0) return WriteMarker(argv[2]);
  if (argc >= 4 && lstrcmpA(argv[1], "shortpath") == 0) return WriteShortPath(argv[2], argv[3]);
  if (argc >= 3 && lstrcmpA(argv[1], "progman") == 0) {
    silent = argc >= 4 && lstrcmpA(argv[3], "silent") == 0;
    return RunProgman(argv[2]);
  }
  return 2;
}
