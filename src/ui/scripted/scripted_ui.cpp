// The scripted window system, first half: message boxes, the controls of the
// one dialog, timers, the directory chooser and the test controls. Nothing here
// calls into the dialog handlers, so a program that only shows boxes links
// without them.
#include "ui/scripted/scripted_ui.h"

#include <strings.h>

#include "core/context.h"
#include "core/text.h"
#include "ui/scripted/scripted_state.h"
#include "ui/ui.h"

namespace scripted {

State& TheState() {
  static State state;
  return state;
}

void Reset() { TheState() = State(); }

void QueueAnswer(int answer) { TheState().answers.push_back(answer); }
const std::vector<Box>& Boxes() { return TheState().boxes; }

void QueueAction(const Action& action) { TheState().actions.push_back(action); }
void FailDialogCreation(bool fail) { TheState().failCreation = fail; }
int DialogResult() { return TheState().finished ? TheState().result : -2; }
bool DialogRan() { return TheState().ran; }

void QueuePumpCommand(int pumpIndex, int commandId) {
  TheState().pumpCommands.push_back({pumpIndex, commandId});
}
int PumpCount() { return TheState().pumpCount; }

namespace {
const ControlState* FindControl(int id) {
  auto found = TheState().controls.find(id);
  return found == TheState().controls.end() ? nullptr : &found->second;
}
}  // namespace

std::string ControlText(int id) {
  const ControlState* c = FindControl(id);
  return c ? c->text : std::string();
}
std::vector<std::string> ControlTextHistory(int id) {
  const ControlState* c = FindControl(id);
  return c ? c->history : std::vector<std::string>();
}
bool ControlEnabled(int id) {
  const ControlState* c = FindControl(id);
  return c ? c->enabled : true;
}
int CheckMark(int id) {
  const ControlState* c = FindControl(id);
  return c ? c->checked : 0;
}
uint32_t TextLimit(int id) {
  const ControlState* c = FindControl(id);
  return c ? c->limit : 0;
}
int DefaultButton() { return TheState().defaultButton; }
int FocusedControl() { return TheState().focused; }
std::string Caption() { return TheState().caption; }
bool TimerRunning(int id) {
  auto found = TheState().timers.find(id);
  return found != TheState().timers.end() && found->second.running;
}
uint32_t TimerPeriod(int id) {
  auto found = TheState().timers.find(id);
  return found == TheState().timers.end() ? 0 : found->second.period;
}
bool Centred() { return TheState().centred; }

void SetChooserResult(const char* folder) {
  TheState().chooserSet = folder != nullptr;
  TheState().chooserFolder = folder ? folder : "";
}

const std::vector<DdeEvent>& DdeEvents() { return TheState().ddeEvents; }
void SetProgmanServer(WindowHandle server) { TheState().progmanServer = server; }
void SetSecondInitiateAnswer(WindowHandle window) { TheState().secondAnswer = window; }
void SetLateInitiateAnswer(WindowHandle window) { TheState().lateAnswer = window; }
void SetExecuteUnacknowledged(bool silent) { TheState().executeSilent = silent; }
void FailDdeBlock(bool fail) { TheState().blockFails = fail; }
int MessageWaits() { return TheState().messageWaits; }
int SettingsBroadcasts() { return TheState().settingsBroadcasts; }

}  // namespace scripted

using scripted::TheState;

int ShowBox(WindowHandle owner, const char* text, const char* caption, uint32_t style) {
  scripted::State& s = TheState();
  s.boxes.push_back({owner, text ? text : "", caption ? caption : "", style});
  if (!s.answers.empty()) {
    int answer = s.answers.front();
    s.answers.pop_front();
    return answer;
  }
  return (style & 0x0F) == kBoxOk ? kAnswerOk : kAnswerYes;
}

// Window 0 is no window: like the real system, calls on it change nothing.
void SetControlText(WindowHandle dialog, int id, const char* text) {
  if (dialog == 0) return;
  scripted::ControlState& c = TheState().controls[id];
  c.text = text ? text : "";
  c.history.push_back(c.text);
}

uint32_t GetControlText(WindowHandle dialog, int id, char* out, uint32_t capacity) {
  if (capacity == 0) return 0;
  out[0] = '\0';
  if (dialog == 0) return 0;
  std::string text = scripted::ControlText(id);
  uint32_t n = static_cast<uint32_t>(text.size());
  if (n > capacity - 1) n = capacity - 1;
  memcpy(out, text.data(), n);
  out[n] = '\0';
  return n;
}

void SetWindowCaption(WindowHandle window, const char* text) {
  if (window == 0) return;
  TheState().caption = text ? text : "";
}

void EnableControl(WindowHandle dialog, int id, int enabled) {
  if (dialog == 0) return;
  TheState().controls[id].enabled = enabled != 0;
}

void SetCheckMark(WindowHandle dialog, int id, int checked) {
  if (dialog == 0) return;
  TheState().controls[id].checked = checked;
}

void LimitControlText(WindowHandle dialog, int id, uint32_t characters) {
  if (dialog == 0) return;
  TheState().controls[id].limit = characters;
}

void FocusControl(WindowHandle dialog, int id) {
  if (dialog == 0) return;
  TheState().focused = id;
}

void MakeDefaultButton(WindowHandle dialog, int id) {
  if (dialog == 0) return;
  TheState().defaultButton = id;
}

void CentreWindow(WindowHandle window) {
  if (window == 0) return;
  TheState().centred = true;
}

void StartTimer(WindowHandle window, int id, uint32_t milliseconds) {
  if (window == 0) return;
  TheState().timers[id] = {true, milliseconds};
}

void StopTimer(WindowHandle window, int id) {
  if (window == 0) return;
  TheState().timers[id].running = false;
}

void PostCommand(WindowHandle window, int id) {
  if (window == 0) return;
  TheState().posted.push_back(id);
}

void FinishDialog(WindowHandle dialog, int result) {
  if (dialog == 0) return;
  TheState().finished = true;
  TheState().result = result;
}

IconHandle LoadDialogIcon(InstanceHandle, int id) {
  return static_cast<IconHandle>(0x2000 + id);
}

void ReleaseIcon(IconHandle) {}

int ChooseDirectory(WindowHandle) {
  scripted::State& s = TheState();
  if (!s.chooserSet) return 0;
  s.chooserSet = false;   // answers the next chooser only
  // The bytes as the system's folder query gives them: not cut at a lead
  // byte, and never cut at all (the system's chooser stays open instead).
  size_t n = s.chooserFolder.size();
  if (n >= kDestFolderCap) return 0;
  memcpy(context->destFolder, s.chooserFolder.data(), n);
  context->destFolder[n] = '\0';
  return 1;
}

WindowHandle FindTopLevelWindow(const char* className) {
  if (TheState().progmanServer != 0 && strcasecmp(className, "Progman") == 0) {
    return TheState().progmanServer;
  }
  return 0;
}

void BroadcastSettingsChange() { ++TheState().settingsBroadcasts; }
