// Bounded text helpers for the core. The stub has no C runtime, so the core
// keeps to these and to memcpy/memset/memmove/memcmp, which both builds provide.
#pragma once

#include <stdint.h>
#include <string.h>

uint32_t TextLength(const char* text);
// Copies src into dst of the given capacity, always terminated. A cut never
// leaves the lead byte of a double-byte character without its second byte.
void CopyText(char* dst, const char* src, uint32_t capacity);
// Appends src to the text in dst with the same rule.
void AppendText(char* dst, const char* src, uint32_t capacity);
int TextEquals(const char* a, const char* b);
// Non-zero when no byte of text is from 0x80 on.
int IsAscii(const char* text);
// The box text: a double quote, the subject, a double quote, one blank, the message.
void FormatQuoted(char* out, uint32_t capacity, const char* subject, const char* message);
// Formats pattern into out: each "%s" takes the next of the texts a, b, c, d
// and "%%" is one percent sign. Cut at a whole character when it does not fit.
void FormatText(char* out, uint32_t capacity, const char* pattern, const char* a,
                const char* b = nullptr, const char* c = nullptr, const char* d = nullptr);
// Length of the longest prefix of text (at most limit bytes) that does not end
// in the middle of a double-byte character.
uint32_t WholeCharLength(const char* text, uint32_t limit);

// A UTF-16 unit that code page 932 cannot hold (the system may name a folder
// such as C:\Users\José) travels inside the program as two double-byte
// characters whose lead bytes code page 932 leaves unassigned (0x85, 0x86,
// 0xEB, 0xEC) and whose second bytes are 0x80-0xBF: every byte-wise rule
// takes them as two characters, and none of their bytes is a separator.
// Writes the four bytes.
void EncodeForeignUnit(uint16_t unit, char* out);
// The unit such a pair at text carries; 0 when text starts otherwise or the
// unit is an ASCII character, which code page 932 holds and no pair carries.
uint32_t DecodeForeignUnit(const char* text);
