// Controls of the POSIX platform for host tests: the special folders, the
// registry and environment the core reads, fault injection, and records of the
// effects the core asks for. Host-only code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace hostplatform {

void Reset();   // back to the defaults below, records emptied

// Opening this path for reading reads these bytes instead of a file (kept,
// not copied, until Reset): harnesses feed an archive without writing it.
// Such a file cannot be written; each open has its own position.
void SetMemoryFile(const std::string& path, const uint8_t* data, size_t size);

void SetPlatformId(uint32_t id);                  // default 2 (Windows NT); 0 = Win32s
void SetVersionQueryFails(bool fails);
// The ANSI road on a code page other than 932: CarriesText refuses bytes from
// 0x80 on. Default false.
void SetForeignCodePage(bool foreign);
void SetOwnModulePath(const std::string& path);   // default: the test program's path
void SetTempDirectory(const std::string& dir);    // default "/tmp/"
void SetWindowsDirectory(const std::string& dir); // default "/windows"
void SetSystemDirectory(const std::string& dir);  // default "/windows/system32"
void SetCurrentDirectoryText(const std::string& dir);  // default: the real one
void SetMachineString(const std::string& subkey, const std::string& valueName,
                      const std::string& value);
void SetEnvironment(const std::string& name, const std::string& value);
void UnsetEnvironment(const std::string& name);
void SetMaxComponentLength(uint32_t length);      // default 255; 0 = query fails
void AddSearchResult(const std::string& name, const std::string& foundPath);
void SetShortPath(const std::string& path, const std::string& shortPath);
// TickCount: a clock that starts at 0 and advances by step milliseconds at
// every reading; by default 100, so that what a test sees never depends on
// the machine's speed and every progress report is drawn. Step 0: the real
// monotonic clock.
void SetClockStep(uint32_t step);

// Fault injection: after this many more bytes, writes to created files fail
// (a full disk), or reads from any file fail. Negative = never.
void FailWritesAfter(int64_t bytes);
void FailReadsAfter(int64_t bytes);
// Allocations fail once this many more succeeded. Negative = never.
void FailAllocationsAfter(int64_t count);

// Confinement for harnesses that extract untrusted archives (the whole-run
// fuzz target): when a root is set, every path the platform is asked to
// create, write, delete, make or change the attributes of must lie inside it
// after "." and ".." are resolved against the current directory; otherwise the
// call fails as a refused access would. Reads are not confined. An empty root
// lifts the confinement. Kept across Reset.
void SetSandboxRoot(const std::string& dir);

// When set, EndProcess calls this instead of ending the process, so that a
// long-running host program (a fuzzer) can get back control after an abort.
// The hook must not return (it longjmps or exits). Null restores the normal
// end. Kept across Reset.
void SetEndProcessHook(void (*hook)(int status));

struct ClassesRootWrite { std::string key, classString, value; };
struct ProfileWrite { std::string section, key, value; };
struct ShellOpenCall { uintptr_t owner; std::string file, parameters, directory; };
const std::vector<ClassesRootWrite>& ClassesRootWrites();
const std::vector<ProfileWrite>& ProfileWrites();
const std::vector<ShellOpenCall>& ShellOpens();
const std::vector<std::string>& StartedPrograms();
// Every read request on a file: the byte count asked for.
const std::vector<uint32_t>& ReadRequests();

}  // namespace hostplatform
