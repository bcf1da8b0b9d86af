// The scripted window system, second half: the modal main dialog, the message
// pump and the Program Manager conversation. These hand messages to the
// dialog's handlers, as the real dialog procedure would.
#include "core/text.h"
#include "run/dialog.h"
#include "ui/scripted/scripted_state.h"
#include "ui/ui.h"

namespace {

using scripted::TheState;

// Delivers commands posted to the dialog until none is left or it finished.
void DeliverPosted(WindowHandle dialog) {
  scripted::State& s = TheState();
  while (!s.posted.empty() && !s.finished) {
    int id = s.posted.front();
    s.posted.pop_front();
    OnDialogCommand(dialog, id);
  }
}

void TypeFolder(const std::string& text) {
  scripted::ControlState& c = TheState().controls[IDC_FOLDER_EDIT];
  // An edit control with a limit takes no more bytes than the limit.
  std::string typed = text;
  if (c.limit != 0 && typed.size() > c.limit) {
    typed.resize(WholeCharLength(typed.c_str(), c.limit));
  }
  c.text = typed;
}

void Play(const scripted::Action& action) {
  using scripted::kDialogWindow;
  switch (action.kind) {
    case scripted::Action::kCommand:
      OnDialogCommand(kDialogWindow, action.id);
      break;
    case scripted::Action::kTypeFolder:
      TypeFolder(action.text);
      break;
    case scripted::Action::kTimer:
      // Only a started timer can fire.
      if (scripted::TimerRunning(action.id)) OnDialogTimer(kDialogWindow, action.id);
      break;
  }
}

}  // namespace

int RunMainDialog(InstanceHandle) {
  using scripted::kDialogWindow;
  scripted::State& s = TheState();
  if (s.failCreation) return -1;
  s.ran = true;
  s.finished = false;
  s.result = -2;

  OnDialogInit(kDialogWindow);
  DeliverPosted(kDialogWindow);
  while (!s.finished && !s.actions.empty()) {
    scripted::Action action = s.actions.front();
    s.actions.pop_front();
    Play(action);
    DeliverPosted(kDialogWindow);
  }
  // The user gives up when the script runs out: Cancel, then the close box.
  if (!s.finished) {
    OnDialogCommand(kDialogWindow, IDC_CANCEL);
    DeliverPosted(kDialogWindow);
  }
  if (!s.finished) {
    OnDialogClose(kDialogWindow);
    DeliverPosted(kDialogWindow);
  }
  return s.finished ? s.result : -2;
}

void PumpMessages(WindowHandle dialog) {
  scripted::State& s = TheState();
  int index = ++s.pumpCount;
  if (dialog == 0) return;
  // Copy first: a handler may queue further pump commands.
  std::vector<int> due;
  for (const auto& command : s.pumpCommands) {
    if (command.first == index) due.push_back(command.second);
  }
  for (int id : due) OnDialogCommand(dialog, id);
  DeliverPosted(dialog);
  // The server's acknowledge of an execute is posted, so it arrives here.
  while (!s.pendingAcks.empty()) {
    std::pair<WindowHandle, WindowHandle> ack = s.pendingAcks.front();
    s.pendingAcks.pop_front();
    OnDdeAcknowledge(ack.first, ack.second);
  }
}

// The initiate is sent, not posted: the server's answer runs inside it.
void BroadcastProgmanInitiate(WindowHandle client) {
  scripted::State& s = TheState();
  s.ddeEvents.push_back({scripted::DdeEvent::kInitiate, 0, std::string(), 0});
  if (s.progmanServer != 0) OnDdeAcknowledge(client, s.progmanServer);
  if (s.secondAnswer != 0) OnDdeAcknowledge(client, s.secondAnswer);
  if (s.lateAnswer != 0) s.pendingAcks.push_back({client, s.lateAnswer});
}

int PostDdeExecute(WindowHandle server, WindowHandle client, const char* command) {
  scripted::State& s = TheState();
  if (s.blockFails) return -1;
  if (server == 0) return 0;
  s.ddeEvents.push_back({scripted::DdeEvent::kExecute, server, command ? command : "", client});
  if (server == s.progmanServer && !s.executeSilent) s.pendingAcks.push_back({client, server});
  return 1;
}

void WaitForMessage() { ++TheState().messageWaits; }

void PostDdeTerminate(WindowHandle server, WindowHandle client) {
  TheState().ddeEvents.push_back({scripted::DdeEvent::kTerminate, server, std::string(), client});
}
