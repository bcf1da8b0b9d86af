// The few C library functions that the compiler calls by itself (structure
// copies, zero-filled locals, terminator searches, the core's memcpy, memset,
// memmove and memcmp), so the stub needs no C runtime DLL. Built without
// loop-to-call conversion, which would turn these loops back into calls to
// themselves.
#include <stddef.h>
#include <stdint.h>

extern "C" {

void* memcpy(void* dst, const void* src, size_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  const auto* s = static_cast<const uint8_t*>(src);
  while (n--) *d++ = *s++;
  return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  const auto* s = static_cast<const uint8_t*>(src);
  if (d < s) {
    while (n--) *d++ = *s++;
  } else if (d > s) {
    d += n;
    s += n;
    while (n--) *--d = *--s;
  }
  return dst;
}

void* memset(void* dst, int value, size_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  while (n--) *d++ = static_cast<uint8_t>(value);
  return dst;
}

int memcmp(const void* a, const void* b, size_t n) {
  const auto* x = static_cast<const uint8_t*>(a);
  const auto* y = static_cast<const uint8_t*>(b);
  for (; n != 0; --n, ++x, ++y)
    if (*x != *y) return *x < *y ? -1 : 1;
  return 0;
}

// The compiler recognises a terminator search as strlen.
size_t strlen(const char* text) {
  const char* end = text;
  while (*end != '\0') ++end;
  return static_cast<size_t>(end - text);
}

}  // extern "C"
