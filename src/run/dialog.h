// The main dialog's behaviour, independent of the window system. The Win32
// dialog procedure (and the scripted UI) hand each message to these handlers.
#pragma once

#include <stdint.h>

#include "core/handles.h"

void OnDialogInit(WindowHandle dialog);
// Commands 1, 2, 104, 105, 106; returns non-zero when the command was handled.
int OnDialogCommand(WindowHandle dialog, int id);
void OnDialogTimer(WindowHandle dialog, int timerId);
void OnDialogClose(WindowHandle dialog);
void OnDdeAcknowledge(WindowHandle dialog, WindowHandle sender);
void RemoveQuotes(char* text, uint32_t limit);
