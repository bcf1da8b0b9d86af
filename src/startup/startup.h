// The command line, its options and the configuration block.
#pragma once

#include "core/context.h"

// The command-line tail: the process command line without the program's own
// name and the bytes of value 1 to 32 that follow it.
const char* SkipProgramName(const char* commandLine);
// Splits the tail into a 1024-slot array of separately allocated arguments.
char** SplitCommandLine(const char* tail, int* count);
void FreeArguments(char** arguments, int count);
// The configuration block into the record's config, from the file at its
// ownPath.
void ReadConfig(ExtractContext* c);
// Reads -n, -n-, -c, -c- and the destination folder. After the block: the
// folder replaces the configured one, the folder the dialog proposes.
void ReadOptions(char** arguments, int count);
