// sfxhelper: programs the end-to-end scenarios need beside the self-extractor.
//
//   sfxhelper.exe marker FILE
//       Writes FILE into the current directory: its command line and its
//       current directory, one per line. A self-extractor's command starts it.
//   sfxhelper.exe progman LOG [silent]
//       A Program Manager for the DDE conversation: a top-level window of class
//       "Progman" that answers the initiate for application and topic
//       "PROGMAN", acknowledges each execute (unless silent) and answers the
//       terminate, as the real one does. LOG gets one line per message, in
//       order, each execute with its command bytes in hex. Runs until it is
//       ended; "ready" is logged once the window exists.
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

std::string Hex(const char* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    unsigned char b = (unsigned char)bytes[i];
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
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
        Log("execute " + Hex(text, n));
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

int WriteMarker(const char* name) {
  char directory[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof directory, directory);
  std::string text = std::string("cmdline=") + GetCommandLineA() + "\r\ncwd=" + directory + "\r\n";
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
  if (argc >= 3 && lstrcmpA(argv[1], "progman") == 0) {
    silent = argc >= 4 && lstrcmpA(argv[3], "silent") == 0;
    return RunProgman(argv[2]);
  }
  return 2;
}
