// The notice, the setup script and what follows the extraction.
#pragma once

#include <stdint.h>

#include "platform/handles.h"

void ShowNotice();
void ApplySetupScript();
void RunSetupActions(WindowHandle dialog);
void LaunchCommand(WindowHandle dialog);
// Copies the file part of command into out; returns where the parameters start.
const char* SplitCommand(const char* command, char* out, uint32_t capacity);
