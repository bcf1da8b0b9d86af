// The host tests' window system: it records every box and every control change
// of the one dialog, answers boxes from a queue and plays the user's actions on
// the main dialog. Host-only code (not part of the stub), so it may use the
// standard library.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "core/handles.h"

namespace scripted {

// The window handle the scripted main dialog reports.
constexpr WindowHandle kDialogWindow = 0x1000;

struct Box {
  WindowHandle owner;
  std::string text;      // bytes as shown (code page 932)
  std::string caption;
  uint32_t style;        // kBox... | kIcon... as passed to ShowBox
};

// A user action on the main dialog.
struct Action {
  enum Kind { kCommand, kTypeFolder, kTimer } kind;
  int id;                // command id (kCommand) or timer id (kTimer)
  std::string text;      // kTypeFolder: the new folder field text
};

void Reset();                              // forget everything, empty queues

// Boxes: answered in order from the queue; with the queue empty an OK box
// gets kAnswerOk and a question gets kAnswerYes.
void QueueAnswer(int answer);
const std::vector<Box>& Boxes();

// The main dialog. RunMainDialog creates it (OnDialogInit), delivers posted
// commands, then plays the queued actions one by one, delivering posted
// commands after each, until the dialog is finished; when the actions run out
// before that, it cancels (command 2). A created-dialog failure is simulated
// with FailDialogCreation.
void QueueAction(const Action& action);
void FailDialogCreation(bool fail);
int DialogResult();                        // the FinishDialog result, -2 if none
bool DialogRan();

// Actions played by PumpMessages: at the pump call with this 1-based index,
// deliver the command (for example Cancel during an extraction).
void QueuePumpCommand(int pumpIndex, int commandId);
int PumpCount();

// State of the dialog's controls and window as the core left them.
std::string ControlText(int id);
std::vector<std::string> ControlTextHistory(int id);   // every text set, in order
bool ControlEnabled(int id);                           // controls start enabled
int CheckMark(int id);
uint32_t TextLimit(int id);
int DefaultButton();
int FocusedControl();
std::string Caption();
bool TimerRunning(int id);
uint32_t TimerPeriod(int id);
bool Centred();

// The directory chooser: the next ChooseDirectory returns this folder in
// outputPath (non-zero result), or is cancelled when none is set.
void SetChooserResult(const char* folder);

// The Program Manager conversation as the core drove it.
struct DdeEvent {
  enum Kind { kInitiate, kExecute, kTerminate } kind;
  WindowHandle server;
  std::string command;   // kExecute
  WindowHandle client;   // kExecute, kTerminate: the client the message names
};
const std::vector<DdeEvent>& DdeEvents();
// When set, a server window answers the initiate and each execute with an
// acknowledge (through OnDdeAcknowledge), and is the window of class "Progman".
void SetProgmanServer(WindowHandle server);
// A second window that also answers the initiate, after the server.
void SetSecondInitiateAnswer(WindowHandle window);
// A window that answers each initiate only after the broadcast gave it up:
// its acknowledge arrives at the next pump.
void SetLateInitiateAnswer(WindowHandle window);
// The server takes executes but never acknowledges them.
void SetExecuteUnacknowledged(bool silent);
// The shareable block of the execute cannot be had.
void FailDdeBlock(bool fail);
// How often the core waited for a message.
int MessageWaits();
int SettingsBroadcasts();

}  // namespace scripted
