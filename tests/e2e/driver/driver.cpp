// sfxdriver: starts a self-extractor and follows a step script against its
// windows, writing a UTF-8 transcript of everything it saw.
//
//   sfxdriver.exe SCRIPT TRANSCRIPT
//
// SCRIPT is written by the runner (tests/e2e/run_scenario.py): UTF-8, one
// step per line, fields separated by TAB, with the escapes \\ \t \n inside a
// field. The steps are documented in tests/e2e/README.md. Exit code: 0 when
// every step held, 1 when one did not, 2 when the script itself is unusable.
// Every wait is bounded; a self-extractor still running at the end is killed.
#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "ui/resource.h"

namespace {

using std::wstring;

// ---------------------------------------------------------------- output

HANDLE transcriptFile = INVALID_HANDLE_VALUE;
DWORD startTick = 0;

std::string ToUtf8(const wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr,
                              nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
  return out;
}

wstring FromUtf8(const std::string& text) {
  if (text.empty()) return wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
  wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
  return out;
}

wstring Number(long long value) {
  wchar_t buffer[32];
  wsprintfW(buffer, L"%I64d", value);
  return buffer;
}

// One transcript line, stamped with the milliseconds since the start. Written
// at once, so that a killed driver still leaves what it saw.
void Log(const wstring& line) {
  wchar_t stamp[32];
  DWORD ms = GetTickCount() - startTick;
  wsprintfW(stamp, L"%6lu.%03lu ", ms / 1000, ms % 1000);
  std::string bytes = ToUtf8(stamp + line) + "\n";
  DWORD written;
  if (transcriptFile != INVALID_HANDLE_VALUE)
    WriteFile(transcriptFile, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != INVALID_HANDLE_VALUE && out != nullptr)
    WriteFile(out, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
}

// Texts are shown on one line: CR LF and LF become \n, a lone CR \r.
wstring Visible(const wstring& text) {
  wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
    if (text[i] == L'\n') out += L"\\n";
    else if (text[i] == L'\r') out += L"\\r";
    else if (text[i] == L'\t') out += L"\\t";
    else out += text[i];
  }
  return out;
}

// The comparable form of a text: CR LF folded to LF.
wstring Folded(const wstring& text) {
  wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
    out += text[i];
  }
  return out;
}

bool failed = false;
wstring artifactDir;  // where screenshots go; none when empty

bool SaveScreen(const wstring& name);

void Fail(int line, const wstring& reason) {
  Log(L"FAIL line " + Number(line) + L": " + reason);
  // The screen as it was when the first step failed.
  if (!failed && !artifactDir.empty()) SaveScreen(L"failure");
  failed = true;
}

// ---------------------------------------------------------------- windows

PROCESS_INFORMATION child = {};
bool childEnded = false;
DWORD childStatus = 0;

bool ChildRunning() {
  if (childEnded) return false;
  if (WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0) {
    GetExitCodeProcess(child.hProcess, &childStatus);
    childEnded = true;
    Log(L"exit " + Number((long)(int)childStatus));
    return false;
  }
  return true;
}

wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// WM_GETTEXT across processes, bounded. One message, not a length query
// first: the text may change in between (the progress field does).
bool ReadText(HWND window, wstring* text) {
  for (size_t capacity = 1024; capacity <= 65536; capacity *= 4) {
    std::vector<wchar_t> buffer(capacity, L'\0');
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, (WPARAM)buffer.size(), (LPARAM)buffer.data(),
                             SMTO_ABORTIFHUNG, 2000, &got))
      return false;
    buffer[capacity - 1] = 0;
    *text = buffer.data();
    if (text->size() + 1 < capacity) return true;
  }
  return true;
}

// A busy machine may keep a window from answering within one message's
// bound: it is asked again while it exists, up to kAnswerBound.
const DWORD kAnswerBound = 10000;

wstring TextOf(HWND window) {
  wstring text;
  DWORD start = GetTickCount();
  while (!ReadText(window, &text)) {
    if (!IsWindow(window) || GetTickCount() - start >= kAnswerBound) return L"<no answer>";
    Sleep(20);
  }
  return text;
}

struct Children {
  std::vector<HWND> list;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM param) {
  // Direct children only: a dialog's controls.
  Children* children = (Children*)param;
  if (GetParent(window) != nullptr) children->list.push_back(window);
  return TRUE;
}

std::vector<HWND> ChildrenOf(HWND window) {
  Children children;
  EnumChildWindows(window, CollectChild, (LPARAM)&children);
  std::vector<HWND> direct;
  for (HWND h : children.list)
    if (GetParent(h) == window) direct.push_back(h);
  return direct;
}

enum Kind { kMainDialog, kMessageBox, kOtherWindow };

bool IsButtonId(int id) { return (id >= 1 && id <= 7) || id == 10 || id == 11; }

Kind KindOf(HWND window) {
  bool hasFolderEdit = false, hasBrowse = false, hasBoxText = false, hasOther = false;
  for (HWND c : ChildrenOf(window)) {
    int id = GetDlgCtrlID(c);
    wstring cls = ClassOf(c);
    if (id == IDC_FOLDER_EDIT && lstrcmpiW(cls.c_str(), L"Edit") == 0) hasFolderEdit = true;
    else if (id == IDC_BROWSE && lstrcmpiW(cls.c_str(), L"Button") == 0) hasBrowse = true;
    else if (id == 0xFFFF && lstrcmpiW(cls.c_str(), L"Static") == 0) hasBoxText = true;
    else if (lstrcmpiW(cls.c_str(), L"Static") == 0) {
    } else if (lstrcmpiW(cls.c_str(), L"Button") == 0 && IsButtonId(id)) {
    } else hasOther = true;
  }
  if (hasFolderEdit && hasBrowse) return kMainDialog;
  if (hasBoxText && !hasOther) return kMessageBox;
  return kOtherWindow;
}

struct TopWindows {
  DWORD pid;
  std::vector<HWND> list;
};

BOOL CALLBACK CollectTop(HWND window, LPARAM param) {
  TopWindows* top = (TopWindows*)param;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == top->pid && IsWindowVisible(window) && ClassOf(window) == L"#32770")
    top->list.push_back(window);
  return TRUE;
}

std::vector<HWND> ChildDialogs() {
  TopWindows top;
  top.pid = child.dwProcessId;
  EnumWindows(CollectTop, (LPARAM)&top);
  return top.list;
}

HWND mainDialog = nullptr;

HWND FindMainDialog() {
  if (mainDialog && IsWindow(mainDialog) && IsWindowVisible(mainDialog)) return mainDialog;
  for (HWND w : ChildDialogs())
    if (KindOf(w) == kMainDialog) return w;
  return nullptr;
}

// ---------------------------------------------------------------- icons

// Message-box icons are told apart by their pixels: the box's icon belongs to
// another process, so its handle cannot be compared or inspected here. The
// icon static is captured from the screen and compared with each system icon
// drawn over the same background.
struct Capture {
  int width = 0, height = 0;
  std::vector<DWORD> pixels;
};

bool CaptureRect(HDC source, int x, int y, int width, int height, Capture* out) {
  HDC memory = CreateCompatibleDC(source);
  HBITMAP bitmap = CreateCompatibleBitmap(source, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  out->width = width;
  out->height = height;
  out->pixels.assign((size_t)width * height, 0);
  int rows = GetDIBits(memory, bitmap, 0, height, out->pixels.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  return rows == height;
}

long DiffWithIcon(const Capture& shot, LPCWSTR iconId) {
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, shot.width, shot.height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  DWORD corner = shot.pixels[0];
  HBRUSH brush =
      CreateSolidBrush(RGB((corner >> 16) & 0xFF, (corner >> 8) & 0xFF, corner & 0xFF));
  RECT all = {0, 0, shot.width, shot.height};
  FillRect(memory, &all, brush);
  DeleteObject(brush);
  DrawIconEx(memory, 0, 0, LoadIconW(nullptr, iconId), 0, 0, 0, nullptr, DI_NORMAL);
  SelectObject(memory, old);
  Capture drawn;
  HDC memory2 = CreateCompatibleDC(screen);
  HGDIOBJ old2 = SelectObject(memory2, bitmap);
  CaptureRect(memory2, 0, 0, shot.width, shot.height, &drawn);
  SelectObject(memory2, old2);
  DeleteDC(memory2);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  long differing = 0;
  for (size_t i = 0; i < shot.pixels.size(); ++i)
    if ((shot.pixels[i] & 0xFFFFFF) != (drawn.pixels[i] & 0xFFFFFF)) ++differing;
  return differing;
}

wstring IdentifyIcon(HWND iconStatic) {
  RECT rect;
  if (!GetWindowRect(iconStatic, &rect)) return L"unknown";
  int width = rect.right - rect.left, height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0 || width > 256 || height > 256) return L"unknown";
  struct Candidate {
    const wchar_t* name;
    LPCWSTR id;
  } candidates[] = {{L"error", (LPCWSTR)IDI_HAND},
                    {L"question", (LPCWSTR)IDI_QUESTION},
                    {L"warning", (LPCWSTR)IDI_EXCLAMATION},
                    {L"information", (LPCWSTR)IDI_ASTERISK}};
  // The box may not be painted yet when it is first seen: retry for a while.
  DWORD until = GetTickCount() + 3000;
  for (;;) {
    HDC screen = GetDC(nullptr);
    Capture shot;
    bool ok = CaptureRect(screen, rect.left, rect.top, width, height, &shot);
    ReleaseDC(nullptr, screen);
    if (ok) {
      long best = -1, second = -1;
      const wchar_t* bestName = L"unknown";
      for (const Candidate& c : candidates) {
        long d = DiffWithIcon(shot, c.id);
        if (best < 0 || d < best) {
          second = best;
          best = d;
          bestName = c.name;
        } else if (second < 0 || d < second) {
          second = d;
        }
      }
      long area = (long)width * height;
      if (best * 20 <= area && second > best * 2 + area / 50) return bestName;
    }
    if ((LONG)(GetTickCount() - until) >= 0) return L"unknown";
    Sleep(50);
  }
}

// The whole screen as a 32-bit top-down BMP in the artifact folder.
bool SaveScreen(const wstring& name) {
  // Give windows that have just appeared the time to paint.
  Sleep(400);
  int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  Capture shot;
  bool ok = CaptureRect(screen, 0, 0, width, height, &shot);
  ReleaseDC(nullptr, screen);
  if (!ok) return false;
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = -height;
  info.biPlanes = 1;
  info.biBitCount = 32;
  info.biCompression = BI_RGB;
  DWORD pixelBytes = (DWORD)(shot.pixels.size() * sizeof(DWORD));
  BITMAPFILEHEADER head = {};
  head.bfType = 0x4D42;
  head.bfOffBits = sizeof head + sizeof info;
  head.bfSize = head.bfOffBits + pixelBytes;
  wstring path = artifactDir + L"\\" + name + L".bmp";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written;
  ok = WriteFile(file, &head, sizeof head, &written, nullptr) &&
       WriteFile(file, &info, sizeof info, &written, nullptr) &&
       WriteFile(file, shot.pixels.data(), pixelBytes, &written, nullptr);
  CloseHandle(file);
  Log(L"screenshot " + path);
  return ok;
}

// ---------------------------------------------------------------- snapshots

struct BoxInfo {
  HWND window = nullptr;
  wstring caption, text, icon, owner, buttons;
  std::vector<std::pair<wstring, HWND>> buttonList;
};

const wchar_t* ButtonName(int id) {
  switch (id) {
    case 1: return L"ok";
    case 2: return L"cancel";
    case 3: return L"abort";
    case 4: return L"retry";
    case 5: return L"ignore";
    case 6: return L"yes";
    case 7: return L"no";
    case 10: return L"tryagain";
    case 11: return L"continue";
  }
  return L"?";
}

BoxInfo ReadBox(HWND box) {
  BoxInfo info;
  info.window = box;
  info.caption = TextOf(box);
  HWND owner = GetWindow(box, GW_OWNER);
  // A box shown from the dialog's first timer can come before the dialog is
  // shown (a modal dialog appears once its queue first runs dry, and on a
  // busy machine the timer is due by then): its owner is still the dialog.
  HWND dialog = FindMainDialog();
  bool byDialog = owner != nullptr && (owner == dialog || KindOf(owner) == kMainDialog);
  info.owner = owner == nullptr ? L"none" : (byDialog ? L"dialog" : L"other");
  info.icon = L"none";
  std::vector<std::pair<LONG, std::pair<wstring, HWND>>> buttons;
  for (HWND c : ChildrenOf(box)) {
    if (!IsWindowVisible(c)) continue;
    int id = GetDlgCtrlID(c);
    wstring cls = ClassOf(c);
    if (lstrcmpiW(cls.c_str(), L"Static") == 0) {
      LONG style = GetWindowLongW(c, GWL_STYLE);
      if (id == 0xFFFF) info.text = TextOf(c);
      else if ((style & SS_TYPEMASK) == SS_ICON) info.icon = IdentifyIcon(c);
    } else if (lstrcmpiW(cls.c_str(), L"Button") == 0 && IsButtonId(id)) {
      RECT r;
      GetWindowRect(c, &r);
      buttons.push_back({r.left, {ButtonName(id), c}});
    }
  }
  // Left to right, as the user sees them.
  for (size_t i = 1; i < buttons.size(); ++i)
    for (size_t j = i; j > 0 && buttons[j].first < buttons[j - 1].first; --j)
      std::swap(buttons[j], buttons[j - 1]);
  for (auto& b : buttons) {
    if (!info.buttons.empty()) info.buttons += L",";
    info.buttons += b.second.first;
    info.buttonList.push_back(b.second);
  }
  return info;
}

void LogBox(const wchar_t* label, int number, const BoxInfo& box) {
  Log(wstring(label) + L" #" + Number(number) + L" owner=" + box.owner + L" icon=" + box.icon +
      L" buttons=" + box.buttons + L" caption=\"" + Visible(box.caption) + L"\" text=\"" +
      Visible(box.text) + L"\"");
}

struct ControlInfo {
  int id;
  wstring cls, text;
  bool enabled, visible;
  int checked;  // -1: not a check box
};

bool ReadControl(HWND dialog, int id, ControlInfo* out) {
  HWND c = GetDlgItem(dialog, id);
  if (!c) return false;
  out->id = id;
  out->cls = ClassOf(c);
  out->text = TextOf(c);
  out->enabled = IsWindowEnabled(c) != FALSE;
  out->visible = IsWindowVisible(c) != FALSE;
  out->checked = -1;
  LONG type = GetWindowLongW(c, GWL_STYLE) & BS_TYPEMASK;
  if (lstrcmpiW(out->cls.c_str(), L"Button") == 0 &&
      (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
       type == BS_AUTO3STATE)) {
    DWORD_PTR state = 0;
    DWORD start = GetTickCount();
    while (!SendMessageTimeoutW(c, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &state)) {
      if (!IsWindow(c) || GetTickCount() - start >= kAnswerBound) return true;
      Sleep(20);
    }
    out->checked = (int)state;
  }
  return true;
}

void LogControl(const ControlInfo& c) {
  wstring line = L"control " + Number(c.id) + L" class=" + c.cls +
                 L" enabled=" + (c.enabled ? L"1" : L"0") + L" visible=" +
                 (c.visible ? L"1" : L"0");
  if (c.checked >= 0) line += L" checked=" + Number(c.checked);
  line += L" text=\"" + Visible(c.text) + L"\"";
  Log(line);
}

const int kDialogControls[] = {103, 100, 104, 105, 106, 101, 102, 1, 2};

// Records the dialog's caption and controls; returns the caption, and the
// controls' texts as read in *texts when asked.
wstring LogDialog(HWND dialog, std::vector<std::pair<int, wstring>>* texts = nullptr) {
  wstring caption = TextOf(dialog);
  Log(L"dialog caption=\"" + Visible(caption) + L"\"");
  for (int id : kDialogControls) {
    ControlInfo c;
    if (ReadControl(dialog, id, &c)) {
      LogControl(c);
      if (texts) texts->push_back({id, c.text});
    } else {
      Log(L"control " + Number(id) + L" missing");
    }
  }
  return caption;
}

void LogWindow(HWND window) {
  Log(L"window caption=\"" + Visible(TextOf(window)) + L"\"");
  for (HWND c : ChildrenOf(window)) {
    ControlInfo info;
    if (ReadControl(window, GetDlgCtrlID(c), &info)) LogControl(info);
  }
}

// ---------------------------------------------------------------- watching

// What has been seen so far: progress texts in order, and the boxes.
std::vector<wstring> progressSeen;  // "101 text" / "102 text"
wstring lastFile, lastPercent;
std::vector<HWND> boxesHandled;
int boxCount = 0;
bool dialogSeen = false;

bool Handled(HWND box) {
  for (HWND h : boxesHandled)
    if (h == box) return true;
  return false;
}

// One look at the process's windows: records progress changes of the main
// dialog. Returns a message box not yet handled, if any.
HWND Poll() {
  HWND dialog = FindMainDialog();
  if (dialog) {
    if (!dialogSeen || dialog != mainDialog) {
      mainDialog = dialog;
      dialogSeen = true;
    }
    wstring file, percent;
    HWND f = GetDlgItem(dialog, IDC_CURRENT_FILE), p = GetDlgItem(dialog, IDC_PROGRESS);
    if (f && ReadText(f, &file) && file != lastFile) {
      lastFile = file;
      progressSeen.push_back(L"101 " + file);
      Log(L"progress 101 \"" + Visible(file) + L"\"");
    }
    if (p && ReadText(p, &percent) && percent != lastPercent) {
      lastPercent = percent;
      progressSeen.push_back(L"102 " + percent);
      Log(L"progress 102 \"" + Visible(percent) + L"\"");
    }
  }
  // Forget boxes that are gone, so that a reused handle counts as new.
  std::vector<HWND> still;
  for (HWND h : boxesHandled)
    if (IsWindow(h)) still.push_back(h);
  boxesHandled.swap(still);
  for (HWND w : ChildDialogs())
    if (w != dialog && !Handled(w) && KindOf(w) == kMessageBox) return w;
  return nullptr;
}

void Pause() { Sleep(2); }

bool Expired(DWORD deadline) { return (LONG)(GetTickCount() - deadline) >= 0; }

void ReportUnexpectedBox(int line, HWND box);

enum WaitEnd { kReady, kBoxSeen, kEnded, kTimedOut };

// The driver's one waiting loop: watches the windows every few ms (recording
// progress and boxes) until ready(box) holds, box being the new box if any.
// With boxesUnexpected, a box ends the wait and is reported and taken away.
// With the name of what is awaited, the end of the process and the timeout
// fail the step; without it, the wait goes on to the timeout, which the
// caller judges.
// How many times longer than its bound a wait may take: the runner raises it
// where every process is slowed alike (an emulated machine).
DWORD timeScale = 1;

// Bounds on waits for something to happen stretch with the machine; the
// fixed spans of sleep and no-box do not (they are what is being tested).
template <class Ready>
WaitEnd WaitUntil(int line, DWORD timeout, Ready ready, const wchar_t* awaited = nullptr,
                  bool boxesUnexpected = false, bool fixed = false) {
  if (!fixed) timeout *= timeScale;
  DWORD deadline = GetTickCount() + timeout;
  for (;;) {
    HWND box = Poll();
    if (ready(box)) return kReady;
    if (box && boxesUnexpected) {
      ReportUnexpectedBox(line, box);
      return kBoxSeen;
    }
    if (!ChildRunning() && awaited) {
      Fail(line, L"the process ended while " + wstring(awaited) + L" was awaited");
      return kEnded;
    }
    if (Expired(deadline)) {
      if (awaited) Fail(line, wstring(awaited) + L" not seen within " + Number(timeout) + L" ms");
      return kTimedOut;
    }
    Pause();
  }
}

// Ends a process that outlived its bound.
void KillChild() {
  TerminateProcess(child.hProcess, 0xDEAD);
  WaitForSingleObject(child.hProcess, 5000);
  childEnded = true;
  Log(L"killed");
}

// ---------------------------------------------------------------- expectations

struct Expect {
  wstring key;
  wchar_t op;  // '=' exact, '~' contains
  wstring value;
};

bool ParseExpect(const wstring& arg, Expect* out) {
  size_t i = 0;
  while (i < arg.size() && (iswalnum(arg[i]) || arg[i] == L'-' || arg[i] == L'_')) ++i;
  if (i == 0 || i >= arg.size() || (arg[i] != L'=' && arg[i] != L'~')) return false;
  out->key = arg.substr(0, i);
  out->op = arg[i];
  out->value = arg.substr(i + 1);
  return true;
}

bool Matches(const Expect& e, const wstring& actual) {
  wstring a = Folded(actual), v = Folded(e.value);
  if (e.op == L'=') return a == v;
  return a.find(v) != wstring::npos;
}

void Check(int line, const wchar_t* what, const Expect& e, const wstring& actual) {
  if (!Matches(e, actual))
    Fail(line, wstring(what) + L" " + e.key + L": expected " + (e.op == L'=' ? L"" : L"~") +
                   L"\"" + Visible(e.value) + L"\", saw \"" + Visible(actual) + L"\"");
}

int ParseInt(const wstring& text, int fallback) {
  if (text.empty()) return fallback;
  int value = 0;
  size_t i = 0;
  bool negative = false;
  if (text[0] == L'-') { negative = true; i = 1; }
  if (i >= text.size()) return fallback;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return fallback;
    value = value * 10 + (text[i] - L'0');
  }
  return negative ? -value : value;
}

// ---------------------------------------------------------------- script

struct Step {
  int line;
  wstring keyword;
  std::vector<wstring> args;
};

wstring Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 1 < field.size()) {
      char c = field[++i];
      out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      out += field[i];
    }
  }
  return FromUtf8(out);
}

bool ReadScript(const wchar_t* path, std::vector<Step>* steps) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string data;
  char buffer[4096];
  DWORD got;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  CloseHandle(file);
  size_t pos = 0;
  int lineNumber = 0;
  while (pos < data.size()) {
    size_t end = data.find('\n', pos);
    if (end == std::string::npos) end = data.size();
    std::string line = data.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    Step step;
    step.line = lineNumber;
    size_t start = 0;
    bool first = true;
    for (;;) {
      size_t tab = line.find('\t', start);
      std::string field = line.substr(start, tab == std::string::npos ? std::string::npos
                                                                       : tab - start);
      if (first) step.keyword = Unescape(field);
      else step.args.push_back(Unescape(field));
      first = false;
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    steps->push_back(step);
  }
  return true;
}

// ---------------------------------------------------------------- steps

const DWORD kDefaultTimeout = 20000;

// Splits a step's arguments into expectations; timeout= is taken out.
bool Expectations(const Step& step, size_t from, std::vector<Expect>* out, DWORD* timeout) {
  for (size_t i = from; i < step.args.size(); ++i) {
    Expect e;
    if (!ParseExpect(step.args[i], &e)) {
      Fail(step.line, L"cannot read the argument \"" + step.args[i] + L"\"");
      return false;
    }
    if (e.key == L"timeout") *timeout = (DWORD)ParseInt(e.value, (int)kDefaultTimeout);
    else out->push_back(e);
  }
  return true;
}

// Waits for the next message box; fails on timeout or when the process ends.
HWND WaitForBox(const Step& step, DWORD timeout) {
  HWND found = nullptr;
  WaitUntil(step.line, timeout, [&](HWND box) { return (found = box) != nullptr; }, L"a box");
  return found;
}

void WaitGone(HWND window, DWORD timeout) {
  WaitUntil(0, timeout, [&](HWND) { return !IsWindow(window) || !IsWindowVisible(window); });
}

// A box that nobody expected: record it and take it away so that the
// process can go on to its end.
void ReportUnexpectedBox(int line, HWND box) {
  BoxInfo info = ReadBox(box);
  ++boxCount;
  boxesHandled.push_back(box);
  LogBox(L"unexpected-box", boxCount, info);
  Fail(line, L"a box appeared that the scenario did not expect");
  if (!info.buttonList.empty()) {
    HWND button = info.buttonList.back().second;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), (LPARAM)button);
  }
  WaitGone(box, 3000);
}

// answer-all [timeout=MS]: until the process ends, every box is recorded and
// answered with yes where it asks, else with its only or first button (the
// sweep of hostile inputs, which cannot know the boxes in advance). A
// process still running at the deadline is reported as a hang and killed.
void StepAnswerAll(const Step& step) {
  std::vector<Expect> expects;
  DWORD timeout = kDefaultTimeout;
  if (!Expectations(step, 0, &expects, &timeout)) return;
  auto answer = [&](HWND box) {
    if (box) {
      BoxInfo info = ReadBox(box);
      ++boxCount;
      boxesHandled.push_back(box);
      LogBox(L"box", boxCount, info);
      if (!info.buttonList.empty()) {
        auto chosen = info.buttonList.front();
        for (auto& b : info.buttonList)
          if (b.first == L"yes") chosen = b;
        Log(L"answer #" + Number(boxCount) + L" " + chosen.first);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(chosen.second), BN_CLICKED),
                     (LPARAM)chosen.second);
      }
      WaitGone(box, 3000);
    }
    return !ChildRunning();
  };
  if (WaitUntil(step.line, timeout, answer) == kTimedOut) {
    Log(L"hang");
    Fail(step.line, L"the process did not end within " + Number(timeout * timeScale) + L" ms");
    KillChild();
  }
}

void StepBox(const Step& step) {
  std::vector<Expect> expects;
  DWORD timeout = kDefaultTimeout;
  if (!Expectations(step, 0, &expects, &timeout)) return;
  HWND box = WaitForBox(step, timeout);
  if (!box) return;
  BoxInfo info = ReadBox(box);
  ++boxCount;
  boxesHandled.push_back(box);
  LogBox(L"box", boxCount, info);
  wstring answer;
  for (const Expect& e : expects) {
    if (e.key == L"caption") Check(step.line, L"box", e, info.caption);
    else if (e.key == L"text") Check(step.line, L"box", e, info.text);
    else if (e.key == L"icon") Check(step.line, L"box", e, info.icon);
    else if (e.key == L"owner") Check(step.line, L"box", e, info.owner);
    else if (e.key == L"buttons") Check(step.line, L"box", e, info.buttons);
    else if (e.key == L"answer") answer = e.value;
    else Fail(step.line, L"unknown box field " + e.key);
  }
  if (answer.empty()) {
    if (info.buttonList.size() == 1) answer = info.buttonList[0].first;
    else {
      Fail(step.line, L"the box has several buttons and the step gives no answer=");
      answer = info.buttonList.empty() ? L"" : info.buttonList.back().first;
    }
  }
  HWND button = nullptr;
  for (auto& b : info.buttonList)
    if (b.first == answer) button = b.second;
  if (!button) {
    Fail(step.line, L"the box has no button \"" + answer + L"\"");
    if (info.buttonList.empty()) return;
    button = info.buttonList.back().second;
  }
  Log(L"answer #" + Number(boxCount) + L" " + answer);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), (LPARAM)button);
  WaitGone(box, 5000);
  if (IsWindow(box) && IsWindowVisible(box)) Fail(step.line, L"the box did not close");
}

void StepDialog(const Step& step) {
  std::vector<Expect> expects;
  DWORD timeout = kDefaultTimeout;
  if (!Expectations(step, 0, &expects, &timeout)) return;
  HWND dialog = nullptr;
  auto found = [&](HWND box) { return !box && (dialog = FindMainDialog()) != nullptr; };
  if (WaitUntil(step.line, timeout, found, L"the main dialog", true) != kReady) return;
  mainDialog = dialog;
  // The caption and the controls as the dialog came up: a dialog that starts
  // by itself may be gone a moment later, on a busy machine, so its controls
  // are checked on this snapshot (ID=TEXT) rather than by later steps.
  std::vector<std::pair<int, wstring>> texts;
  wstring caption = LogDialog(dialog, &texts);
  for (const Expect& e : expects) {
    int id = ParseInt(e.key, -1);
    if (e.key == L"caption") {
      Check(step.line, L"dialog", e, caption);
    } else if (id >= 0) {
      const wstring* text = nullptr;
      for (auto& t : texts)
        if (t.first == id) text = &t.second;
      if (text) Check(step.line, L"dialog control", e, *text);
      else Fail(step.line, L"the dialog's control " + e.key + L" could not be read");
    } else {
      Fail(step.line, L"unknown dialog field " + e.key);
    }
  }
}

// What a step that follows an action waits for at most: the action takes
// effect when the other process gets to it, which a busy machine delays.
const DWORD kSettleBound = 10000;

HWND NeedDialog(const Step& step) {
  HWND dialog = nullptr;
  WaitUntil(step.line, kSettleBound,
            [&](HWND) { return (dialog = FindMainDialog()) != nullptr || !ChildRunning(); });
  if (!dialog) Fail(step.line, L"the main dialog is not there");
  return dialog;
}

// The field of a control that an expectation names; false for an unknown one.
bool ControlField(const ControlInfo& c, const wstring& key, wstring* value) {
  if (key == L"text") *value = c.text;
  else if (key == L"enabled") *value = c.enabled ? L"1" : L"0";
  else if (key == L"checked") *value = Number(c.checked);
  else if (key == L"visible") *value = c.visible ? L"1" : L"0";
  else return false;
  return true;
}

// Checks a control once it shows what is expected, or at the bound
// (timeout=MS, default kSettleBound) with what it shows then.
void CheckControl(const Step& step, HWND dialog) {
  int id = ParseInt(step.args[0], -1);
  std::vector<Expect> expects;
  DWORD timeout = kSettleBound;
  if (!Expectations(step, 1, &expects, &timeout)) return;
  wstring value;
  ControlInfo c = {};
  for (const Expect& e : expects) {
    if (!ControlField(c, e.key, &value)) {
      Fail(step.line, L"unknown control field " + e.key);
      return;
    }
  }
  auto holds = [&](HWND) {
    if (!IsWindow(dialog)) return true;
    if (!ReadControl(dialog, id, &c)) return false;
    for (const Expect& e : expects)
      if (ControlField(c, e.key, &value) && !Matches(e, value)) return false;
    return true;
  };
  WaitUntil(step.line, timeout, holds);
  if (!ReadControl(dialog, id, &c)) {
    Fail(step.line, L"no control " + step.args[0]);
    return;
  }
  LogControl(c);
  for (const Expect& e : expects)
    if (ControlField(c, e.key, &value)) Check(step.line, L"control", e, value);
}

void StepControl(const Step& step) {
  if (step.args.empty()) {
    Fail(step.line, L"control needs an id");
    return;
  }
  HWND dialog = NeedDialog(step);
  if (dialog) CheckControl(step, dialog);
}

// The window a set/press step works on: the main dialog, or the last window
// found by a window step.
HWND currentWindow = nullptr;

HWND NeedWindow(const Step& step) {
  if (currentWindow && IsWindow(currentWindow)) return currentWindow;
  Fail(step.line, step.keyword + L" needs a window found by a window step");
  return nullptr;
}

// A control of the window found by the last window step.
void StepWindowControl(const Step& step) {
  if (step.args.empty()) {
    Fail(step.line, L"wcontrol needs an id");
    return;
  }
  HWND window = NeedWindow(step);
  if (window) CheckControl(step, window);
}

// The items of a list or combo box of that window, in order, separated by "|".
void StepItems(const Step& step) {
  HWND window = NeedWindow(step);
  if (!window || step.args.empty()) return;
  HWND list = GetDlgItem(window, ParseInt(step.args[0], -1));
  bool combo = lstrcmpiW(ClassOf(list).c_str(), L"ComboBox") == 0;
  DWORD_PTR count = 0;
  if (!list || !SendMessageTimeoutW(list, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0,
                                    SMTO_ABORTIFHUNG, 2000, &count)) {
    Fail(step.line, L"no list " + step.args[0]);
    return;
  }
  wstring text;
  for (DWORD_PTR i = 0; i < count && i < 200; ++i) {
    wchar_t item[512] = {};
    DWORD_PTR got = 0;
    SendMessageTimeoutW(list, combo ? CB_GETLBTEXT : LB_GETTEXT, i, (LPARAM)item,
                        SMTO_ABORTIFHUNG, 2000, &got);
    if (i) text += L"|";
    text += item;
  }
  DWORD_PTR selected = (DWORD_PTR)-1;
  SendMessageTimeoutW(list, combo ? CB_GETCURSEL : LB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 2000,
                      &selected);
  Log(L"items " + step.args[0] + L" selected=" + Number((long)(LRESULT)selected) + L" \"" +
      Visible(text) + L"\"");
}

// The layout of the main dialog (or, with "window", of the window found last)
// at the system's DPI: every visible control lies whole inside the client
// area, and the text of every static text, button and check box fits its
// control, on one line, in the system font, which the templates use (what a
// list or combo box draws inside itself is not looked at); "except=ID,ID" leaves
// out the texts of those controls (a path, as long as the path is). The
// transcript names the DPI and the client area's size in pixels.
void StepLayout(const Step& step) {
  bool ofWindow = false;
  wstring skipped = L",";
  for (const wstring& a : step.args) {
    if (a == L"window") ofWindow = true;
    else if (a.compare(0, 7, L"except=") == 0) skipped += a.substr(7) + L",";
  }
  HWND window = ofWindow ? NeedWindow(step) : NeedDialog(step);
  if (!window) return;
  RECT client;
  GetClientRect(window, &client);
  MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  HGDIOBJ font = SelectObject(dc, GetStockObject(SYSTEM_FONT));
  int controls = 0;
  wstring problems;
  for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (!IsWindowVisible(c)) continue;
    ++controls;
    const wstring id = Number(GetDlgCtrlID(c));
    RECT r;
    GetWindowRect(c, &r);
    if (r.left < client.left || r.top < client.top || r.right > client.right ||
        r.bottom > client.bottom)
      problems += L" " + id + L" outside";
    const wstring kind = ClassOf(c), text = TextOf(c);
    const bool button = lstrcmpiW(kind.c_str(), L"Button") == 0;
    if (text.empty() || (!button && lstrcmpiW(kind.c_str(), L"Static") != 0) ||
        skipped.find(L"," + id + L",") != wstring::npos)
      continue;
    const LONG style = GetWindowLongW(c, GWL_STYLE);
    RECT need = {0, 0, 0, 0};
    DrawTextW(dc, text.c_str(), -1, &need,
              DT_CALCRECT | DT_SINGLELINE | (!button && (style & SS_NOPREFIX) ? DT_NOPREFIX : 0));
    LONG room = r.right - r.left;
    if (button) {
      const LONG type = style & BS_TYPEMASK;
      room -= (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) ? GetSystemMetrics(SM_CXMENUCHECK) + 2 : 4;
    }
    if (need.right > room || need.bottom > r.bottom - r.top) problems += L" " + id + L" text cut";
  }
  SelectObject(dc, font);
  ReleaseDC(nullptr, dc);
  Log(L"layout dpi " + Number(dpi) + L" client " + Number(client.right - client.left) + L"x" +
      Number(client.bottom - client.top) + L" controls " + Number(controls) +
      (problems.empty() ? L"" : L" problems" + problems));
  if (controls == 0) Fail(step.line, L"no control is shown");
  else if (!problems.empty()) Fail(step.line, L"the layout does not hold:" + problems);
}

// Real input, as a user gives it: the focus and the notifications follow
// from it, not from messages the driver makes up.
void SendMouse(DWORD flags) {
  INPUT input = {};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = flags;
  SendInput(1, &input, sizeof input);
}

bool ClickAt(POINT at, int clicks) {
  if (!SetCursorPos(at.x, at.y)) return false;
  Sleep(50);
  for (int i = 0; i < clicks; ++i) {
    SendMouse(MOUSEEVENTF_LEFTDOWN);
    SendMouse(MOUSEEVENTF_LEFTUP);
    Sleep(30);
  }
  return true;
}

// mouse ID [double] [item=TEXT]: a click (or double-click) on a control of
// the window, or on the item of its list with that text.
void StepMouse(const Step& step) {
  HWND window = NeedWindow(step);
  if (!window || step.args.empty()) return;
  HWND control = GetDlgItem(window, ParseInt(step.args[0], -1));
  if (!control) {
    Fail(step.line, L"no control " + step.args[0]);
    return;
  }
  int clicks = 1;
  wstring item;
  for (size_t i = 1; i < step.args.size(); ++i) {
    if (step.args[i] == L"double") clicks = 2;
    else if (step.args[i].compare(0, 5, L"item=") == 0) item = step.args[i].substr(5);
  }
  RECT r;
  GetWindowRect(control, &r);
  POINT at = {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  if (!item.empty()) {
    DWORD_PTR index = (DWORD_PTR)LB_ERR, top = 0, height = 0;
    SendMessageTimeoutW(control, LB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)item.c_str(),
                        SMTO_ABORTIFHUNG, 2000, &index);
    if ((LRESULT)index == LB_ERR) {
      Fail(step.line, L"no item " + item + L" in " + step.args[0]);
      return;
    }
    // Scrolled into view first, then the middle of its row.
    SendMessageTimeoutW(control, LB_SETTOPINDEX, index, 0, SMTO_ABORTIFHUNG, 2000, &top);
    SendMessageTimeoutW(control, LB_GETTOPINDEX, 0, 0, SMTO_ABORTIFHUNG, 2000, &top);
    SendMessageTimeoutW(control, LB_GETITEMHEIGHT, 0, 0, SMTO_ABORTIFHUNG, 2000, &height);
    RECT client;
    GetClientRect(control, &client);
    POINT origin = {0, 0};
    ClientToScreen(control, &origin);
    at.x = origin.x + client.right / 2;
    at.y = origin.y + (int)((index - top) * height + height / 2);
  }
  Log(L"mouse " + step.args[0] + (clicks == 2 ? L" double" : L"") +
      (item.empty() ? L"" : L" item=" + item));
  if (!ClickAt(at, clicks)) Fail(step.line, L"cannot move the mouse");
}

// key NAME: one key pressed and released (return, escape, tab, up, down).
void StepKey(const Step& step) {
  if (step.args.empty()) return;
  const struct { const wchar_t* name; WORD key; } keys[] = {
      {L"return", VK_RETURN}, {L"escape", VK_ESCAPE}, {L"tab", VK_TAB}, {L"up", VK_UP},
      {L"down", VK_DOWN}};
  WORD key = 0;
  for (const auto& k : keys)
    if (step.args[0] == k.name) key = k.key;
  if (key == 0) {
    Fail(step.line, L"unknown key " + step.args[0]);
    return;
  }
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_KEYBOARD;
  input[0].ki.wVk = input[1].ki.wVk = key;
  input[1].ki.dwFlags = KEYEVENTF_KEYUP;
  Log(L"key " + step.args[0]);
  SendInput(2, input, sizeof input[0]);
  Sleep(50);
}

// Waits until the window found by the last window step is gone.
void StepWindowGone(const Step& step) {
  auto gone = [](HWND) { return !currentWindow || !IsWindow(currentWindow); };
  if (WaitUntil(step.line, 10000, gone) != kReady) {
    Fail(step.line, L"the window is still there");
    return;
  }
  Log(L"window-gone");
  currentWindow = nullptr;
}

void StepType(const Step& step) {
  HWND dialog = NeedDialog(step);
  if (!dialog) return;
  wstring text = step.args.empty() ? L"" : step.args[0];
  HWND edit = GetDlgItem(dialog, IDC_FOLDER_EDIT);
  DWORD_PTR ignored;
  if (!edit || !SendMessageTimeoutW(edit, WM_SETTEXT, 0, (LPARAM)text.c_str(),
                                    SMTO_ABORTIFHUNG, 2000, &ignored)) {
    Fail(step.line, L"cannot set the folder field");
    return;
  }
  Log(L"type \"" + Visible(text) + L"\"");
}

void PressIn(const Step& step, HWND window, int id) {
  HWND control = GetDlgItem(window, id);
  if (!control) {
    Fail(step.line, L"no control " + Number(id));
    return;
  }
  // A user cannot press what is disabled; neither may a scenario.
  if (!IsWindowEnabled(control)) {
    Fail(step.line, L"control " + Number(id) + L" is disabled");
    return;
  }
  Log(L"click " + Number(id));
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)control);
}

void StepClick(const Step& step) {
  HWND dialog = NeedDialog(step);
  if (!dialog || step.args.empty()) return;
  PressIn(step, dialog, ParseInt(step.args[0], -1));
}

void StepClose(const Step& step) {
  HWND dialog = NeedDialog(step);
  if (!dialog) return;
  Log(L"close");
  PostMessageW(dialog, WM_CLOSE, 0, 0);
}

void StepWaitProgress(const Step& step) {
  std::vector<Expect> expects;
  DWORD timeout = kDefaultTimeout;
  if (!Expectations(step, 0, &expects, &timeout)) return;
  wstring control = L"102";
  Expect wanted = {L"text", L'~', L""};
  for (const Expect& e : expects) {
    if (e.key == L"control") control = e.value;
    else if (e.key == L"text") wanted = e;
    else Fail(step.line, L"unknown wait-progress field " + e.key);
  }
  auto seenText = [&](HWND) {
    for (const wstring& seen : progressSeen) {
      if (seen.compare(0, control.size() + 1, control + L" ") != 0) continue;
      wstring text = seen.substr(control.size() + 1);
      if (!text.empty() && Matches(wanted, text)) return true;
    }
    return false;
  };
  WaitUntil(step.line, timeout, seenText, L"the progress text", true);
}

void StepSleep(const Step& step) {
  DWORD ms = step.args.empty() ? 0 : (DWORD)ParseInt(step.args[0], 0);
  WaitUntil(step.line, ms, [](HWND) { return false; }, nullptr, false, true);
}

void StepNoBox(const Step& step) {
  DWORD ms = step.args.empty() ? 1000 : (DWORD)ParseInt(step.args[0], 1000);
  WaitUntil(step.line, ms, [](HWND box) { return !box && !ChildRunning(); }, nullptr, true,
            true);
}

void StepWindow(const Step& step) {
  std::vector<Expect> expects;
  DWORD timeout = kDefaultTimeout;
  if (!Expectations(step, 0, &expects, &timeout)) return;
  auto found = [&](HWND) {
    for (HWND w : ChildDialogs()) {
      if (w == mainDialog || KindOf(w) != kOtherWindow) continue;
      bool all = true;
      for (const Expect& e : expects)
        if (e.key == L"caption" && !Matches(e, TextOf(w))) all = false;
      if (!all) continue;
      currentWindow = w;
      LogWindow(w);
      return true;
    }
    return false;
  };
  if (WaitUntil(step.line, timeout, found, L"the window") != kTimedOut) return;
  // What was there instead: a caption in the wrong code page, say.
  for (HWND w : ChildDialogs())
    if (w != mainDialog && KindOf(w) == kOtherWindow)
      Log(L"other-window caption=\"" + Visible(TextOf(w)) + L"\"");
}

void StepPress(const Step& step) {
  if (!currentWindow || !IsWindow(currentWindow)) {
    Fail(step.line, L"press needs a window found by a window step");
    return;
  }
  if (step.args.empty()) return;
  PressIn(step, currentWindow, ParseInt(step.args[0], -1));
}

void StepSet(const Step& step) {
  if (!currentWindow || !IsWindow(currentWindow) || step.args.size() < 2) {
    Fail(step.line, L"set needs a window found by a window step, an id and a text");
    return;
  }
  HWND control = GetDlgItem(currentWindow, ParseInt(step.args[0], -1));
  DWORD_PTR ignored;
  if (!control || !SendMessageTimeoutW(control, WM_SETTEXT, 0, (LPARAM)step.args[1].c_str(),
                                       SMTO_ABORTIFHUNG, 2000, &ignored)) {
    Fail(step.line, L"cannot set control " + step.args[0]);
    return;
  }
  Log(L"set " + step.args[0] + L" \"" + Visible(step.args[1]) + L"\"");
}

void StepScreenshot(const Step& step) {
  if (artifactDir.empty() || step.args.empty() || !SaveScreen(step.args[0]))
    Fail(step.line, L"cannot save the screenshot");
}

// The screen as the X server shows it: GDI reads of the screen under Wine miss
// the windows of a busy process, so the runner takes this one with the X
// tools. The driver asks by leaving NAME.request in the artifact folder and
// keeps watching the windows until NAME.png is there.
void StepXShot(const Step& step) {
  if (artifactDir.empty() || step.args.empty()) {
    Fail(step.line, L"xshot needs a name and an artifact folder");
    return;
  }
  wstring base = artifactDir + L"\\" + step.args[0];
  HANDLE request = CreateFileW((base + L".request").c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (request == INVALID_HANDLE_VALUE) {
    Fail(step.line, L"cannot ask for the screenshot");
    return;
  }
  CloseHandle(request);
  auto taken = [&](HWND) {
    return GetFileAttributesW((base + L".png").c_str()) != INVALID_FILE_ATTRIBUTES;
  };
  if (WaitUntil(step.line, 15000, taken) != kReady) {
    Fail(step.line, L"the runner took no screenshot within " + Number(15000 * timeScale) + L" ms");
    return;
  }
  Log(L"xshot " + base + L".png");
}

// Ends every process of the prefix whose program file has this name (for
// example a Program Manager the self-extractor started), so that it cannot
// answer in a later scenario.
void StepKillProcess(const Step& step) {
  if (step.args.empty()) return;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    Fail(step.line, L"cannot list the processes");
    return;
  }
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  int killed = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (lstrcmpiW(entry.szExeFile, step.args[0].c_str()) != 0) continue;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (!process) continue;
    if (TerminateProcess(process, 0)) ++killed;
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  Log(L"kill-process " + step.args[0] + L" " + Number(killed));
}

// Reads a value of the profile file WIN.INI through the platform.
void StepProfile(const Step& step) {
  if (step.args.size() < 2) {
    Fail(step.line, L"profile needs a section and a key");
    return;
  }
  wchar_t value[1024] = {};
  GetProfileStringW(step.args[0].c_str(), step.args[1].c_str(), L"<none>", value, 1024);
  Log(L"profile [" + step.args[0] + L"] " + step.args[1] + L"=\"" + Visible(value) + L"\"");
}

void StepSnapshot(const Step& step) {
  HWND dialog = NeedDialog(step);
  if (dialog) LogDialog(dialog);
}

// Waits for the end of the process; a box meanwhile is unexpected.
void WaitExit(int line, DWORD timeout) {
  auto ended = [&](HWND box) {
    if (box) ReportUnexpectedBox(line, box);
    return !ChildRunning();
  };
  if (WaitUntil(line, timeout, ended) == kTimedOut) {
    Fail(line, L"the process did not end within " + Number(timeout * timeScale) + L" ms; killed");
    KillChild();
  }
}

void StepExit(const Step& step) {
  std::vector<Expect> expects;
  DWORD timeout = kDefaultTimeout;
  if (!Expectations(step, 0, &expects, &timeout)) return;
  WaitExit(step.line, timeout);
  for (const Expect& e : expects) {
    if (e.key == L"status") Check(step.line, L"exit", e, Number((long)(int)childStatus));
    else Fail(step.line, L"unknown exit field " + e.key);
  }
}

// ---------------------------------------------------------------- main

wstring QuoteProgram(const wstring& program) { return L"\"" + program + L"\""; }

std::vector<PROCESS_INFORMATION> helpers;

// A program the scenario needs beside the self-extractor (a Program Manager
// of the tests, for example); ended when the script is done.
bool StartHelper(const std::vector<wstring>& args) {
  if (args.empty()) return false;
  wstring line = QuoteProgram(args[0]);
  for (size_t i = 1; i < args.size(); ++i) line += L" " + QuoteProgram(args[i]);
  std::vector<wchar_t> mutableLine(line.begin(), line.end());
  mutableLine.push_back(0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  Log(L"helper " + Visible(line));
  if (!CreateProcessW(args[0].c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process))
    return false;
  helpers.push_back(process);
  return true;
}

struct ClassCount {
  const wchar_t* className;
  int count;
};

BOOL CALLBACK CountClass(HWND window, LPARAM param) {
  ClassCount* c = (ClassCount*)param;
  if (ClassOf(window) == c->className) ++c->count;
  return TRUE;
}

// Waits until at least count top-level windows of the class exist.
bool AwaitWindowClass(const wstring& className, int count) {
  DWORD deadline = GetTickCount() + 10000 * timeScale;
  for (;;) {
    ClassCount c = {className.c_str(), 0};
    EnumWindows(CountClass, (LPARAM)&c);
    if (c.count >= count) break;
    if (Expired(deadline)) return false;
    Sleep(20);
  }
  Log(L"window-class " + className + L" " + Number(count));
  return true;
}

// Closes every top-level window of a class, in whatever process: Wine's shell
// keeps DDE name servers that answer every initiate, and a scenario about one
// Program Manager of its own removes them first.
void CloseWindowsOfClass(const wstring& className) {
  int closed = 0;
  HWND window;
  while ((window = FindWindowW(className.c_str(), nullptr)) != nullptr && closed < 64) {
    DWORD_PTR ignored;
    SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored);
    ++closed;
    for (int i = 0; i < 50 && IsWindow(window); ++i) Sleep(10);
  }
  Log(L"close-windows " + className + L" " + Number(closed));
}

void EndHelpers() {
  for (PROCESS_INFORMATION& p : helpers) {
    TerminateProcess(p.hProcess, 0);
    WaitForSingleObject(p.hProcess, 5000);
    CloseHandle(p.hThread);
    CloseHandle(p.hProcess);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  startTick = GetTickCount();
  if (argc != 3) {
    Log(L"usage: sfxdriver SCRIPT TRANSCRIPT");
    return 2;
  }
  transcriptFile = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  std::vector<Step> steps;
  if (!ReadScript(argv[1], &steps)) {
    Log(L"cannot read the script");
    return 2;
  }
  wstring program, tail, directory;
  DWORD exitTimeout = 30000;
  size_t first = 0;
  for (; first < steps.size(); ++first) {
    const Step& s = steps[first];
    wstring arg = s.args.empty() ? L"" : s.args[0];
    if (s.keyword == L"program") program = arg;
    else if (s.keyword == L"cmdline") tail = arg;
    else if (s.keyword == L"cwd") directory = arg;
    else if (s.keyword == L"exit-timeout") exitTimeout = (DWORD)ParseInt(arg, 30000);
    else if (s.keyword == L"time-scale") {
      int scale = ParseInt(arg, 1);
      timeScale = scale >= 1 && scale <= 100 ? (DWORD)scale : 1;
      Log(L"time-scale " + Number((long)timeScale));
    }
    else if (s.keyword == L"artifacts") artifactDir = arg;
    else if (s.keyword == L"env") {
      size_t at = arg.find(L'=');
      if (at == wstring::npos) {
        Log(L"env needs NAME=VALUE");
        return 2;
      }
      SetEnvironmentVariableW(arg.substr(0, at).c_str(), arg.substr(at + 1).c_str());
    } else if (s.keyword == L"helper") {
      if (!StartHelper(s.args)) {
        Log(L"FAIL line " + Number(s.line) + L": cannot start the helper");
        Log(L"result fail");
        return 1;
      }
    } else if (s.keyword == L"close-windows") {
      CloseWindowsOfClass(arg);
    } else if (s.keyword == L"await-window") {
      if (!AwaitWindowClass(arg, s.args.size() > 1 ? ParseInt(s.args[1], 1) : 1)) {
        Log(L"FAIL line " + Number(s.line) + L": no window of class " + arg);
        EndHelpers();
        Log(L"result fail");
        return 1;
      }
    } else {
      break;
    }
  }
  if (program.empty()) {
    Log(L"the script names no program");
    return 2;
  }
  wstring commandLine = QuoteProgram(program);
  if (!tail.empty()) commandLine += L" " + tail;
  std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
  mutableLine.push_back(0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  // The ANSI code page of this Windows: the runner checks it is the one the
  // scenario asked for. Texts are read and compared as UTF-16 whatever it is.
  Log(L"codepage " + Number(GetACP()));
  Log(L"start " + Visible(commandLine) + (directory.empty() ? L"" : L" in " + directory));
  if (!CreateProcessW(program.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup, &child)) {
    Log(L"FAIL cannot start the program, error " + Number((long)GetLastError()));
    EndHelpers();
    Log(L"result fail");
    return 1;
  }
  for (size_t i = first; i < steps.size(); ++i) {
    const Step& s = steps[i];
    if (s.keyword == L"box") StepBox(s);
    else if (s.keyword == L"dialog") StepDialog(s);
    else if (s.keyword == L"control") StepControl(s);
    else if (s.keyword == L"type") StepType(s);
    else if (s.keyword == L"click") StepClick(s);
    else if (s.keyword == L"close") StepClose(s);
    else if (s.keyword == L"wait-progress") StepWaitProgress(s);
    else if (s.keyword == L"sleep") StepSleep(s);
    else if (s.keyword == L"no-box") StepNoBox(s);
    else if (s.keyword == L"window") StepWindow(s);
    else if (s.keyword == L"press") StepPress(s);
    else if (s.keyword == L"set") StepSet(s);
    else if (s.keyword == L"snapshot") StepSnapshot(s);
    else if (s.keyword == L"screenshot") StepScreenshot(s);
    else if (s.keyword == L"xshot") StepXShot(s);
    else if (s.keyword == L"exit") StepExit(s);
    else if (s.keyword == L"kill-process") StepKillProcess(s);
    else if (s.keyword == L"answer-all") StepAnswerAll(s);
    else if (s.keyword == L"wcontrol") StepWindowControl(s);
    else if (s.keyword == L"items") StepItems(s);
    else if (s.keyword == L"mouse") StepMouse(s);
    else if (s.keyword == L"key") StepKey(s);
    else if (s.keyword == L"window-gone") StepWindowGone(s);
    else if (s.keyword == L"profile") StepProfile(s);
    else if (s.keyword == L"layout") StepLayout(s);
    else {
      Fail(s.line, L"unknown step " + s.keyword);
      break;
    }
    // After a failed step the rest of the script makes no sense.
    if (failed) break;
  }
  WaitExit(0, failed ? 5000 : exitTimeout);
  if (!childEnded) TerminateProcess(child.hProcess, 0xDEAD);
  EndHelpers();
  Log(failed ? L"result fail" : L"result pass");
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  if (transcriptFile != INVALID_HANDLE_VALUE) CloseHandle(transcriptFile);
  return failed ? 1 : 0;
}
