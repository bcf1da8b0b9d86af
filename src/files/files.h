// Destination paths, names, directories, time stamps and existing files.
#pragma once

#include <stdint.h>

void NormaliseSeparators(char* text, char separator);
char* FindFirstOf(char* text, const char* set);
char* FindBaseName(char* text);
int ComparePrefix(const char* text, const char* prefix, uint32_t count);
// Which of count words, each ended by a NUL, one after the other in list,
// begins text: its index, with its length in *length; -1 for none.
int FindPrefix(const char* text, const char* list, int count, uint32_t* length);
void ReadMachineString(const char* subkey, const char* valueName, const char* defaultText,
                       char* out, uint32_t capacity);
// Expands a directory macro at the start of text (capacity bytes) in place.
void ExpandDirMacro(char* text, uint32_t capacity, const char* baseName);
// Whether the path's last character (not merely its last byte) is "\\" or "/".
bool EndsInSeparator(const char* path, uint32_t length);
void EnsureTrailingSeparator(char* path, uint32_t capacity);
void JoinDestPath(char* output, const char* folder, char* name);

// The name rules of the volume, for the stub and the builder alike: whether a
// single-byte character b is replaced by "_" in a name on a volume with long
// names (longNames 1) or 8.3 names (0); and the cleaning of a run of a name,
// cut to count bytes of whole characters, in place (the new end returned).
// A component on a long-name volume is cut to kLongComponentMax bytes.
constexpr uint32_t kLongComponentMax = 255;
bool IsForbiddenNameByte(uint8_t b, int longNames);
char* CleanNameRun(char* text, uint32_t count, int longNames);
void SanitisePath(char* path, int longNames);
void MakeDisplayName(char* output, const char* path, uint32_t limit);
void CreatePathDirs(const char* path);
int QueryLongNameVolume(const char* destFolder);

uint32_t UnixTimeToDosTime(uint32_t seconds);
void ApplyTzOffset(uint32_t* time);
uint32_t GetExistingFileTime(const char* path);
enum ExistingDecision { kWriteFile = 0, kSkipEntry = 1, kStopRun = 2 };
ExistingDecision DecideExisting(const char* outputPath, uint32_t newTime);
