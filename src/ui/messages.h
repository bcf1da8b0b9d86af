// Error boxes and the end of a run from inside decoding.
#pragma once

// "\"subject\" message" in an error box owned by dialogWindow, captioned windowTitle.
void ShowError(const char* message, const char* subject);
// Closes and deletes the partly written output, closes the archive, ends the process.
[[noreturn]] void AbortRun(int status);
