// The window-system seam: message boxes, the controls of the main dialog, the
// message pump and the dialogs themselves. The Win32 implementation (ui/win32,
// with the main dialog's procedure in run/win32) runs real windows; the
// scripted one (ui/scripted and run/scripted) records and answers for the host
// tests. The builder uses none: nothing it takes of the stub's code shows
// anything.
#pragma once

#include <stdint.h>

#include "core/handles.h"
#include "ui/resource.h"

// Box styles and answers, with the values of the Win32 message box.
enum : uint32_t {
  kBoxOk = 0x00,
  kBoxYesNoCancel = 0x03,
  kBoxYesNo = 0x04,
  kIconError = 0x10,
  kIconQuestion = 0x20,
  kIconWarning = 0x30,
};
enum : int { kAnswerOk = 1, kAnswerCancel = 2, kAnswerYes = 6, kAnswerNo = 7 };

// Shows a modal box; returns the answer (kAnswer...).
int ShowBox(WindowHandle owner, const char* text, const char* caption, uint32_t style);

// Controls and the dialog window.
void SetControlText(WindowHandle dialog, int id, const char* text);
// Reads at most capacity - 1 bytes; returns the length read (0 when nothing).
uint32_t GetControlText(WindowHandle dialog, int id, char* out, uint32_t capacity);
void SetWindowCaption(WindowHandle window, const char* text);
void EnableControl(WindowHandle dialog, int id, int enabled);
void SetCheckMark(WindowHandle dialog, int id, int checked);
void LimitControlText(WindowHandle dialog, int id, uint32_t characters);
void FocusControl(WindowHandle dialog, int id);
void MakeDefaultButton(WindowHandle dialog, int id);
void CentreWindow(WindowHandle window);
void StartTimer(WindowHandle window, int id, uint32_t milliseconds);
void StopTimer(WindowHandle window, int id);
void PostCommand(WindowHandle window, int id);
void FinishDialog(WindowHandle dialog, int result);
IconHandle LoadDialogIcon(InstanceHandle instance, int id);
void ReleaseIcon(IconHandle icon);

// Drains the thread's message queue without waiting, offering each message to
// the dialog's own keyboard handling first.
void PumpMessages(WindowHandle dialog);

// Waits until a message arrives for the thread (a timer's included).
void WaitForMessage();

// Runs the main dialog "SfxDialog" modally; -1 when it cannot be created.
int RunMainDialog(InstanceHandle instance);
// The directory chooser; non-zero when a folder was chosen, which it leaves
// in destFolder (OK reads the destination from the field again).
int ChooseDirectory(WindowHandle owner);

// Program Manager conversation primitives.
WindowHandle FindTopLevelWindow(const char* className);
// Broadcasts the initiate for application and topic "PROGMAN" from client.
void BroadcastProgmanInitiate(WindowHandle client);
// Posts the execute with a shareable copy of command: 1 when posted, 0 when
// the post failed, -1 when no block could be had (nothing was sent).
int PostDdeExecute(WindowHandle server, WindowHandle client, const char* command);
// On Windows, given an acknowledge's parameter while an execute is in
// flight: when the server refused the command in UTF-16, the conversation is
// initiating again, so that the acknowledge sends the command once more, in
// the system's code page.
void NoteRefusedExecute(uintptr_t status);
void PostDdeTerminate(WindowHandle server, WindowHandle client);
void BroadcastSettingsChange();
