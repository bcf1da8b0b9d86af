// The window-system seam on Win32: message boxes, the main dialog's controls,
// the message pump, the directory chooser and the Program Manager
// conversation's messages. The main dialog's procedure lives with the run it
// drives (run/win32).
#include "platform/win32/system_text.h"

#include <dde.h>
#include <stddef.h>

#include "core/context.h"
#include "core/text.h"
#include "core/texts.h"
#include "platform/platform.h"
#include "ui/ui.h"
#include "ui/resource.h"

static_assert(IDC_OK == IDOK && IDC_CANCEL == IDCANCEL, "OK and Cancel are the system's own ids");
static_assert(kBoxYesNoCancel == MB_YESNOCANCEL && kBoxYesNo == MB_YESNO &&
                  kIconError == MB_ICONERROR && kIconQuestion == MB_ICONQUESTION &&
                  kIconWarning == MB_ICONWARNING && kAnswerYes == IDYES && kAnswerNo == IDNO &&
                  kAnswerCancel == IDCANCEL && kAnswerOk == IDOK,
              "box styles and answers are the platform's values");

namespace {

HWND AsWindow(WindowHandle window) { return reinterpret_cast<HWND>(window); }
WindowHandle FromWindow(HWND window) { return reinterpret_cast<WindowHandle>(window); }

// Capacity of the shareable block that carries a Program Manager command.
constexpr uint32_t kDdeCommandBlock = 1025;
// How long one top-level window may take over the initiate before it counts as hung.
constexpr UINT kInitiateTimeoutMs = 5000;

}  // namespace

int ShowBox(WindowHandle owner, const char* text, const char* caption, uint32_t style) {
  return sys.MessageBox(AsWindow(owner), SystemText(text), SystemText(caption), style);
}

void SetControlText(WindowHandle dialog, int id, const char* text) {
  sys.SetDlgItemText(AsWindow(dialog), id, SystemText(text));
}

uint32_t GetControlText(WindowHandle dialog, int id, char* out, uint32_t capacity) {
  if (capacity == 0) return 0;
  UINT n = sys.GetDlgItemText(AsWindow(dialog), id, ResultBuffer(out),
                              static_cast<int>(ResultRoom(capacity)));
  // Converted, the text keeps the whole characters that fit.
  if (wideCalls) return TakeResult(out, capacity, 1);
  if (n >= capacity) n = capacity - 1;
  // The system may cut the text between the two bytes of a character. On
  // another code page the bytes stay as they came, for CarriesText.
  if (!foreignCodePage) n = WholeCharLength(out, n);
  out[n] = '\0';
  return n;
}

void SetWindowCaption(WindowHandle window, const char* text) {
  sys.SetWindowText(AsWindow(window), SystemText(text));
}

void EnableControl(WindowHandle dialog, int id, int enabled) {
  sys.EnableWindow(sys.GetDlgItem(AsWindow(dialog), id), enabled ? TRUE : FALSE);
}

void SetCheckMark(WindowHandle dialog, int id, int checked) {
  sys.CheckDlgButton(AsWindow(dialog), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

void LimitControlText(WindowHandle dialog, int id, uint32_t characters) {
  sys.SendDlgItemMessageA(AsWindow(dialog), id, EM_LIMITTEXT, characters, 0);
}

void FocusControl(WindowHandle dialog, int id) { sys.SetFocus(sys.GetDlgItem(AsWindow(dialog), id)); }

void MakeDefaultButton(WindowHandle dialog, int id) {
  sys.SendDlgItemMessageA(AsWindow(dialog), id, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
}

void CentreWindow(WindowHandle window) {
  HWND w = AsWindow(window);
  RECT r;
  if (!sys.GetWindowRect(w, &r)) return;
  int width = r.right - r.left;
  int height = r.bottom - r.top;
  int x = (sys.GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  int y = (sys.GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  sys.SetWindowPos(w, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW);
}

void StartTimer(WindowHandle window, int id, uint32_t milliseconds) {
  sys.SetTimer(AsWindow(window), static_cast<UINT_PTR>(id), milliseconds, nullptr);
}

void StopTimer(WindowHandle window, int id) {
  sys.KillTimer(AsWindow(window), static_cast<UINT_PTR>(id));
}

void PostCommand(WindowHandle window, int id) {
  sys.PostMessageA(AsWindow(window), WM_COMMAND, static_cast<WPARAM>(id), 0);
}

void FinishDialog(WindowHandle dialog, int result) { sys.EndDialog(AsWindow(dialog), result); }

IconHandle LoadDialogIcon(InstanceHandle instance, int id) {
  return reinterpret_cast<IconHandle>(
      sys.LoadIconA(reinterpret_cast<HINSTANCE>(instance), MAKEINTRESOURCEA(id)));
}

void ReleaseIcon(IconHandle icon) {
  if (icon != 0) sys.DestroyIcon(reinterpret_cast<HICON>(icon));
}

void PumpMessages(WindowHandle dialog) {
  MSG msg;
  while (sys.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (sys.IsDialogMessageA(AsWindow(dialog), &msg)) continue;
    sys.TranslateMessage(&msg);
    sys.DispatchMessageA(&msg);
  }
}

void WaitForMessage() { sys.WaitMessage(); }

// ---- the directory chooser ----

// The directory chooser's hook, exported by name. OK anywhere but in the two
// lists takes the directory the chooser has open (its current directory) and
// ends the chooser through a posted IDABORT, whose second parameter becomes
// the chooser's result; OK in a list is the chooser's own navigation.
extern "C" __declspec(dllexport) UINT_PTR CALLBACK GetDirDlgHookProc(HWND chooser, UINT message,
                                                                     WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    // Help is not requested and none exists.
    sys.ShowWindow(sys.GetDlgItem(chooser, IDC_DIR_HELP), SW_HIDE);
  } else if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    int focus = sys.GetDlgCtrlID(sys.GetFocus());
    if (focus != IDC_DIR_LIST && focus != IDC_DRIVE_LIST) {
      // A directory that does not fit is never offered cut; the chooser stays.
      if (GetCurrentDirectory(context->destFolder, kDestFolderCap) != 0)
        sys.PostMessageA(chooser, WM_COMMAND, IDABORT, 1);
    }
  }
  return 0;
}

int ChooseDirectory(WindowHandle owner) {
  // The structure of the first Win32 systems, which later ones still take.
  static_assert(sizeof(void*) != 4 || offsetof(OPENFILENAMEA, lpTemplateName) + 4 == 76,
                "the open-file structure is 76 bytes");
  OPENFILENAMEA chooser;
  memset(&chooser, 0, sizeof chooser);
  chooser.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  chooser.hwndOwner = AsWindow(owner);
  chooser.hInstance = reinterpret_cast<HINSTANCE>(instanceHandle);
  // An empty name in either form; the record's pointers are the same in both.
  wchar_t name[MAX_PATH];
  name[0] = L'\0';
  chooser.lpstrFile = reinterpret_cast<char*>(name);
  chooser.nMaxFile = MAX_PATH;
  chooser.lpstrTitle = static_cast<const char*>(SystemText(TEXT_CHOOSER_TITLE));
  constexpr DWORD kChooserOptions = OFN_PATHMUSTEXIST | OFN_ENABLETEMPLATE | OFN_ENABLEHOOK |
                                    OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
  static_assert(kChooserOptions == 2156, "the chooser's options");
  chooser.Flags = kChooserOptions;
  chooser.lpfnHook = GetDirDlgHookProc;
  chooser.lpTemplateName = static_cast<const char*>(SystemText("GetDirDialog"));
  // The chooser changes the current directory while the user navigates, and
  // not every platform puts it back when the hook ends the chooser: the next
  // Browse must start where this one did.
  wchar_t before[MAX_PATH];   // either form
  DWORD kept = sys.GetCurrentDirectory(MAX_PATH, before);
  int chosen = sys.GetOpenFileName(&chooser) ? 1 : 0;
  if (kept != 0 && kept < MAX_PATH) sys.SetCurrentDirectory(before);
  return chosen;
}

// ---- Program Manager conversation ----

namespace {

// The conversation's own window, an ANSI one whatever the dialog is: every
// server reads an ANSI client's command as text of the system's code page,
// where between Unicode windows the command would have to be UTF-16, which
// not every server takes. A hidden child of the dialog, made when the first
// conversation starts, it hands the acknowledges to the dialog and needs
// nothing else (the dialog itself stands in when it cannot be made).
// Where that code page is not 932 on the wide road, it could not carry every
// name, so the dialog, a Unicode window there, is the client and the command
// goes as UTF-16, as a Unicode server reads it from a Unicode client. A
// server that refuses that form (some read every command in the system's
// code page) is sent the command again in that code page, and every later
// one in it too (wideExecute 0).
WPARAM ddeClient;
int wideExecute;

LRESULT CALLBACK DdeClientProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DDE_ACK) sys.SendMessageA(AsWindow(context->dialogWindow), message, wParam, lParam);
  return 0;
}

}  // namespace

WindowHandle FindTopLevelWindow(const char* className) {
  return FromWindow(sys.FindWindowA(className, nullptr));
}

void BroadcastProgmanInitiate(WindowHandle client) {
  if (ddeClient == 0 && foreignWide) {
    ddeClient = reinterpret_cast<WPARAM>(AsWindow(client));
    wideExecute = 1;
  }
  if (ddeClient == 0) {
    HWND own = sys.CreateWindowExA(0, "STATIC", nullptr, WS_CHILD, 0, 0, 0, 0, AsWindow(client),
                               nullptr, nullptr, nullptr);
    ddeClient = reinterpret_cast<WPARAM>(own != nullptr ? own : AsWindow(client));
    if (own != nullptr)
      sys.SetWindowLongPtrA(own, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DdeClientProc));
  }
  ATOM application = sys.GlobalAddAtomA("PROGMAN");
  ATOM topic = sys.GlobalAddAtomA("PROGMAN");
  // The server acknowledges from inside this send. A hung top-level window
  // must not stop the run, so each window gets a bounded time.
  DWORD_PTR ignored;
  sys.SendMessageTimeoutA(HWND_BROADCAST, WM_DDE_INITIATE, ddeClient,
                      MAKELPARAM(application, topic), SMTO_ABORTIFHUNG, kInitiateTimeoutMs,
                      &ignored);
  sys.GlobalDeleteAtom(topic);
  sys.GlobalDeleteAtom(application);
}

// The client is the conversation's own window, made by the initiate.
int PostDdeExecute(WindowHandle server, WindowHandle, const char* command) {
  // UTF-16 takes twice the room; the code page's text, the block it always had.
  HGLOBAL block = sys.GlobalAlloc(GMEM_DDESHARE | GMEM_MOVEABLE, kDdeCommandBlock << wideExecute);
  if (block == nullptr) return -1;
  char* text = static_cast<char*>(sys.GlobalLock(block));
  if (text == nullptr) {
    sys.GlobalFree(block);
    return -1;
  }
  // Otherwise the server reads the command in the system's code page: on the
  // wide road the text goes there by way of UTF-16, so that whatever that
  // code page holds arrives right. On code page 932 the bytes are the same.
  const void* wide = SystemText(command);
  if (wideExecute) {
    memcpy(text, wide, SystemTextBytes(command));
  } else if (!wideCalls || sys.WideCharToMultiByte(CP_ACP, 0, static_cast<const wchar_t*>(wide),
                                                    -1, text, kDdeCommandBlock, nullptr,
                                                    nullptr) == 0) {
    CopyText(text, command, kDdeCommandBlock);
  }
  sys.GlobalUnlock(block);
  LPARAM packed = sys.PackDDElParam(WM_DDE_EXECUTE, 0, reinterpret_cast<UINT_PTR>(block));
  if (!sys.PostMessageA(AsWindow(server), WM_DDE_EXECUTE, ddeClient, packed)) {
    sys.GlobalFree(block);
    sys.FreeDDElParam(WM_DDE_EXECUTE, packed);
    return 0;
  }
  return 1;   // the block now belongs to the server
}

void NoteRefusedExecute(uintptr_t status) {
  UINT_PTR low = 0, commands;
  if (wideExecute && ddeState == kDdeExecuting &&
      sys.UnpackDDElParam(WM_DDE_ACK, status, &low, &commands) && (low & 0x8000) == 0) {
    wideExecute = 0;
    ddeState = kDdeInitiating;
  }
}

void PostDdeTerminate(WindowHandle server, WindowHandle) {
  // The protocol names the client in the first parameter; packing it into a
  // 32-bit parameter would keep only its low half.
  sys.PostMessageA(AsWindow(server), WM_DDE_TERMINATE, ddeClient, 0);
}

void BroadcastSettingsChange() { sys.PostMessageA(HWND_BROADCAST, WM_WININICHANGE, 0, 0); }
