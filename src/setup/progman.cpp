// Program Manager items of "$Group=" lines: one DDE conversation per line with
// whichever window answers application and topic "PROGMAN". The main dialog is
// the client; it hands every acknowledge to OnDdeAcknowledge, which runs the
// execute step below in the initiating state.
#include "core/context.h"
#include "core/text.h"
#include "platform/platform.h"
#include "setup/setup.h"
#include "ui/ui.h"

namespace {

constexpr uint32_t kProgmanIdleWait = 3000;
// Wakes the wait below even when no message comes.
constexpr int kConversationTimer = 2;
constexpr uint32_t kConversationTick = 100;

}  // namespace

void StartProgmanConversation(WindowHandle client) {
  if (FindTopLevelWindow("Progman") == 0) StartProgramAndWaitIdle("PROGMAN.EXE", kProgmanIdleWait);
  // A server of an earlier line is no server of this conversation.
  ddeServer = 0;
  ddeState = kDdeInitiating;
  BroadcastProgmanInitiate(client);
}

// The paths were made short before the conversation started.
void SendProgmanCommand(WindowHandle client) {
  ExtractContext* c = context;
  char* text = c->formattedText;
  FormatText(text, kFormattedCap, "[CreateGroup(\"%s\",0)]\n[AddItem(%s,%s", c->groupName,
             c->programPath, c->itemName, nullptr);
  // The icon is the item's fourth argument only when there is one.
  if (c->iconPath[0] != '\0') {
    AppendText(text, ",", kFormattedCap);
    AppendText(text, c->iconPath, kFormattedCap);
  }
  AppendText(text, ")]", kFormattedCap);
  ddeState = kDdeExecuting;
  // Without a block nothing was sent, and the conversation stays initiating.
  if (PostDdeExecute(ddeServer, client, c->formattedText) < 0) ddeState = kDdeInitiating;
}

void AwaitProgmanConversation(WindowHandle client) {
  // A server answers the initiate from inside its broadcast; a conversation
  // still initiating afterwards has no server, or no command was sent.
  uint32_t start = TickCount();
  StartTimer(client, kConversationTimer, kConversationTick);
  while (ddeState == kDdeExecuting) {
    PumpMessages(client);
    if (ddeState != kDdeExecuting || TickCount() - start >= kConversationLimit) break;
    WaitForMessage();
  }
  StopTimer(client, kConversationTimer);
  // A server that answered but never acknowledged is told the conversation
  // is over; the next line starts afresh.
  if (ddeState != kDdeFinished && ddeServer != 0) PostDdeTerminate(ddeServer, client);
  ddeState = kDdeFinished;
}
