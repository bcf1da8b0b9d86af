// A buffer in memory as the codec's input: what the builder, the tests and the
// fuzz targets decode from without a file.
#include <string.h>

#include "decode/decode.h"

int ReadFromMemory(uintptr_t from, void* buffer, uint32_t count, uint32_t* got) {
  MemoryInput* in = reinterpret_cast<MemoryInput*>(from);
  uint32_t left = in->size - in->position;
  uint32_t n = count < left ? count : left;
  if (n != 0) memcpy(buffer, in->data + in->position, n);
  in->position += n;
  *got = n;
  return 1;
}
