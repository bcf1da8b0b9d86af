// The notice, the setup script's two readings and what the second one drives
// (file types, Program Manager items), and the command started after a
// successful extraction.
#pragma once

#include <stdint.h>

#include "core/handles.h"

void ShowNotice();
void ApplySetupScript();
void RunSetupActions(WindowHandle dialog);
void LaunchCommand(WindowHandle dialog);

// ---- the script's lines ----

// Directive codes, in the order the keywords are tried.
enum Directive : int {
  kNoDirective = 0,
  kWindowTitle = 1,
  kInstallTitle = 2,
  kInstallDir = 3,
  kClassTitle = 4,
  kClass = 5,
  kGroupTitle = 6,
  kGroup = 7,
  kCommand = 8,
};
// The longest value taken from a line, in bytes; the rest of the line is skipped.
constexpr uint32_t kValueChars = 255;

// The start of the next line at or after text (bytes 1 to 31 separate lines),
// or null at the script's end.
const char* NextScriptLine(const char* text);
// The directive at a line start; on a match *position moves past the keyword.
int MatchDirective(const char** position);
// The keyword of a directive code (1 to 8), "=" included.
const char* DirectiveKeyword(int code);
// Copies the rest of the line at text into value (kValueChars + 1 bytes), never
// ending in half a double-byte character; returns where the line ends.
const char* TakeValue(const char* text, char* value);
// Copies one comma-separated field of a value into target and moves *position
// past it and its comma. Returns 0 when the field did not fit: target then
// holds as much of it as fits.
int NextField(const char** position, char* target, uint32_t capacity);
// Both readings of the script: the next line from text on, its directive's
// code (kNoDirective for none) and its value; nullptr after the last line.
const char* NextDirective(const char* text, int* code, char* value);

// ---- file types ----

void RegisterFileType();
void SetClassKeyValue(const char* keyPath, const char* text);
// Replaces path (capacity 256) by the short form of the destination folder
// joined with it. Returns 0 when no path naming that file fits.
int MakeShortPath(char* path);
void LowerCaseExtension(char* text);

// ---- Program Manager items ----

void StartProgmanConversation(WindowHandle client);
void SendProgmanCommand(WindowHandle client);
// Pumps the client's messages until the conversation has ended, or gives it
// up after kConversationLimit milliseconds.
void AwaitProgmanConversation(WindowHandle client);
constexpr uint32_t kConversationLimit = 10000;
