// The main dialog on Win32: its procedure routes each message to the
// portable handlers (run/dialog.h) and keeps what exists only here, the
// painting of the minimised dialog.
#include "platform/win32/system_text.h"

#include <dde.h>

#include "core/context.h"
#include "run/dialog.h"
#include "ui/ui.h"

namespace {

void PaintMinimised(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = sys.BeginPaint(window, &paint);
  int mapMode = sys.GetMapMode(dc);
  sys.SendMessageA(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  sys.SetMapMode(dc, MM_TEXT);
  if (dialogIcon != 0) sys.DrawIcon(dc, 0, 0, reinterpret_cast<HICON>(dialogIcon));
  sys.SetMapMode(dc, mapMode);
  sys.EndPaint(window, &paint);
}

// A dialog procedure reports most results through DWLP_MSGRESULT.
INT_PTR Result(HWND window, LRESULT value) {
  sys.SetWindowLongPtrA(window, DWLP_MSGRESULT, value);
  return TRUE;
}

INT_PTR CALLBACK SfxDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const WindowHandle dialog = reinterpret_cast<WindowHandle>(window);
  switch (message) {
    case WM_INITDIALOG:
      OnDialogInit(dialog);
      return TRUE;   // the system gives the focus to the first tab stop
    case WM_COMMAND:
      return OnDialogCommand(dialog, LOWORD(wParam)) ? TRUE : FALSE;
    case WM_TIMER:
      OnDialogTimer(dialog, static_cast<int>(wParam));
      return TRUE;
    case WM_CLOSE:
      OnDialogClose(dialog);
      return FALSE;   // the default handling turns the close into Cancel
    case WM_DDE_ACK:
      NoteRefusedExecute(static_cast<uintptr_t>(lParam));
      OnDdeAcknowledge(dialog, static_cast<WindowHandle>(wParam));
      return TRUE;
    case WM_PAINT:
      if (!sys.IsIconic(window)) return FALSE;
      PaintMinimised(window);
      return TRUE;
    case WM_ERASEBKGND:
      return sys.IsIconic(window) ? Result(window, 1) : FALSE;
    case WM_QUERYDRAGICON:
      // One of the messages whose result the procedure returns directly.
      return static_cast<INT_PTR>(dialogIcon);
    default:
      return FALSE;
  }
}

}  // namespace

int RunMainDialog(InstanceHandle instance) {
  return static_cast<int>(sys.DialogBoxParam(reinterpret_cast<HINSTANCE>(instance),
                                             SystemText("SfxDialog"), nullptr, SfxDialogProc, 0));
}
