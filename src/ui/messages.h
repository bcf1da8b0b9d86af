// The error box every failure of a file goes through, and the question about
// a file that exists.
#pragma once

// "\"subject\" message" in an error box owned by dialogWindow, captioned windowTitle.
void ShowError(const char* message, const char* subject);
// "\"outputPath\" TEXT_OVERWRITE" in a box with Yes, No and Cancel, owned by
// dialogWindow: the answer (kAnswerYes, kAnswerNo or kAnswerCancel).
int AskOverwrite(const char* outputPath);
