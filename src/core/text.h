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
// The box text: a double quote, the subject, a double quote, one blank, the message.
void FormatQuoted(char* out, uint32_t capacity, const char* subject, const char* message);
// Formats pattern into out: each "%s" takes the next of the texts a, b, c, d
// and "%%" is one percent sign. Cut at a whole character when it does not fit.
void FormatText(char* out, uint32_t capacity, const char* pattern, const char* a,
                const char* b = nullptr, const char* c = nullptr, const char* d = nullptr);
// Length of the longest prefix of text (at most limit bytes) that does not end
// in the middle of a double-byte character.
uint32_t WholeCharLength(const char* text, uint32_t limit);
