// The window system of the builder, which runs in a terminal: a box becomes a
// line on standard error (turned from code page 932 into UTF-8) and is answered
// at once with OK or Yes; there is no dialog.
#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "ui/ui.h"

namespace {

std::string ToUtf8(const char* text) {
  std::string in = text ? text : "";
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return in;
  std::string out;
  char buffer[256];
  char* inPtr = &in[0];
  size_t inLeft = in.size();
  while (inLeft > 0) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte that is not code page 932: keep it visible and go on.
      out.push_back('?');
      ++inPtr;
      --inLeft;
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

int ShowBox(WindowHandle, const char* text, const char* caption, uint32_t style) {
  fprintf(stderr, "%s: %s\n", ToUtf8(caption).c_str(), ToUtf8(text).c_str());
  return (style & 0x0F) == kBoxOk ? kAnswerOk : kAnswerYes;
}

void SetControlText(WindowHandle, int, const char*) {}
uint32_t GetControlText(WindowHandle, int, char* out, uint32_t capacity) {
  if (capacity > 0) out[0] = '\0';
  return 0;
}
void SetWindowCaption(WindowHandle, const char*) {}
void EnableControl(WindowHandle, int, int) {}
void SetCheckMark(WindowHandle, int, int) {}
void LimitControlText(WindowHandle, int, uint32_t) {}
void FocusControl(WindowHandle, int) {}
void MakeDefaultButton(WindowHandle, int) {}
void CentreWindow(WindowHandle) {}
void StartTimer(WindowHandle, int, uint32_t) {}
void StopTimer(WindowHandle, int) {}
void PostCommand(WindowHandle, int) {}
void FinishDialog(WindowHandle, int) {}
IconHandle LoadDialogIcon(InstanceHandle, int) { return 0; }
void ReleaseIcon(IconHandle) {}
void PumpMessages(WindowHandle) {}
void WaitForMessage() {}
int RunMainDialog(InstanceHandle) { return -1; }
int ChooseDirectory(WindowHandle) { return 0; }
WindowHandle FindTopLevelWindow(const char*) { return 0; }
void BroadcastProgmanInitiate(WindowHandle) {}
int PostDdeExecute(WindowHandle, WindowHandle, const char*) { return -1; }
void PostDdeTerminate(WindowHandle, WindowHandle) {}
void BroadcastSettingsChange() {}
