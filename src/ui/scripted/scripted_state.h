// State shared by the two halves of the scripted window system: the boxes and
// controls (scripted_ui.cpp) and the dialog, pump and conversation that call
// into the dialog handlers (scripted_dialog.cpp). Host-only code.
#pragma once

#include <stdint.h>

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ui/scripted/scripted_ui.h"

namespace scripted {

struct ControlState {
  std::string text;
  std::vector<std::string> history;
  bool enabled = true;
  int checked = 0;
  uint32_t limit = 0;
};

struct TimerState {
  bool running = false;
  uint32_t period = 0;
};

struct State {
  std::deque<int> answers;
  std::vector<Box> boxes;

  std::deque<Action> actions;
  bool failCreation = false;
  bool ran = false;
  bool finished = false;
  int result = -2;
  std::deque<int> posted;
  std::vector<std::pair<int, int>> pumpCommands;   // (pump index, command)
  int pumpCount = 0;

  std::map<int, ControlState> controls;
  int defaultButton = 0;
  int focused = 0;
  std::string caption;
  bool centred = false;
  std::map<int, TimerState> timers;

  bool chooserSet = false;
  std::string chooserFolder;

  std::vector<DdeEvent> ddeEvents;
  WindowHandle progmanServer = 0;
  WindowHandle secondAnswer = 0;
  WindowHandle lateAnswer = 0;
  bool executeSilent = false;
  bool blockFails = false;
  int messageWaits = 0;
  std::deque<std::pair<WindowHandle, WindowHandle>> pendingAcks;   // (client, server)
  int settingsBroadcasts = 0;
};

State& TheState();

}  // namespace scripted
