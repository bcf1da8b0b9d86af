// The window system of the builder, which runs in a terminal: a box becomes a
// line on standard error (turned from code page 932 into UTF-8) and is answered
// at once with OK or Yes; there is no dialog.
#include <stdio.h>

#include <string>

#include "host_os.h"
#include "ui/ui.h"

int ShowBox(WindowHandle, const char* text, const char* caption, uint32_t style) {
  fprintf(stderr, "%s: %s\n", hostos::ToUtf8(caption ? caption : "").c_str(),
          hostos::ToUtf8(text ? text : "").c_str());
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
