// Little-endian integers in byte buffers: the byte order of the archive's
// headers, the configuration block and the executable's headers.
#pragma once

#include <stdint.h>

inline uint16_t ReadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t ReadLE32(const uint8_t* p) {
  return ReadLE16(p) | (static_cast<uint32_t>(ReadLE16(p + 2)) << 16);
}

inline void WriteLE16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void WriteLE32(uint8_t* p, uint32_t v) {
  WriteLE16(p, v & 0xFFFF);
  WriteLE16(p + 2, v >> 16);
}

// Appended to a growing buffer (a std::vector<uint8_t> in the tools).
template <class Bytes>
void AppendLE16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

template <class Bytes>
void AppendLE32(Bytes& out, uint32_t v) {
  AppendLE16(out, v & 0xFFFF);
  AppendLE16(out, v >> 16);
}
