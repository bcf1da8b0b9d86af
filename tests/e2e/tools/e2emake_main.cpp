// e2emake: writes a self-extractor for an end-to-end scenario.
//
//   e2emake --stub STUB -o OUT [block options] [entries]
//
// Block: --title T, --install-title T, --folder T, --command T (UTF-8, stored
// as Shift-JIS), --flags N, --restore-attributes N, --offset-delta N (archive
// offset = stub size + N), --offset N, or --offset-past-end N (the finished
// file's size + N), --checksum auto|auto^MASK|VALUE (the
// two bytes ahead of the archive; flags bit 4 is set only by --flags).
// Entries, in archive order: --stored NAME FILE, --text NAME TEXT, --dir NAME
// (stored and directory entries; NAME in UTF-8 with '/' separators),
// --packed NAME FILE (compressed with -lh7-), --append
// FILE (raw bytes, e.g. a whole archive with its own end mark); --time SECONDS
// and --attr N apply to the entries that follow; --damage KIND spoils the next
// entry: header-crc, no-crc, method=ID, packed-size=N|+N|-N, file-crc,
// original-size=N.
// A zero header size ends the archive unless --no-end is given or the last
// item was appended raw.
#include <stdio.h>

#include <fstream>
#include <string>
#include <vector>

#include "e2emake.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  e2emake::Plan plan;
  std::string output, error;
  if (!e2emake::ParseArguments(args, &plan, &output, &error)) {
    fprintf(stderr, "e2emake: %s\n", error.c_str());
    return 2;
  }
  std::vector<uint8_t> file;
  if (!e2emake::Build(plan, &file, &error)) {
    fprintf(stderr, "e2emake: %s\n", error.c_str());
    return 1;
  }
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), (std::streamsize)file.size());
  if (!out.flush()) {
    fprintf(stderr, "e2emake: cannot write %s\n", output.c_str());
    return 1;
  }
  return 0;
}
