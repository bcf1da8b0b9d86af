// The error box every failure of a file goes through.
#pragma once

// "\"subject\" message" in an error box owned by dialogWindow, captioned windowTitle.
void ShowError(const char* message, const char* subject);
