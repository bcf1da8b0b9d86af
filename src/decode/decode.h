// The codec: CRC, bit input, Huffman tables, the block decoder and the stored
// copy. It reads the archive through the platform seam and hands what it
// produces to the context's sink; it never shows anything, pumps messages or
// ends the run: every failure comes back to the caller as a DecodeResult.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "core/context.h"

constexpr uint16_t kCrcPolynomial = 0xA001;
// The tables of a CRC (table: one byte; slices[k]: a byte followed by k + 1
// zero bytes) and the CRC of n more bytes, for any caller and thread.
void FillCrcTables(uint16_t* table, uint16_t (*slices)[256], uint16_t polynomial);
uint16_t FoldCrc(const uint16_t* table, const uint16_t (*slices)[256], uint16_t crc,
                 const uint8_t* data, size_t n);
// The same over the run's record: its tables and runningCrc.
void MakeCrcTable(uint16_t polynomial);
uint16_t UpdateCrc(const void* data, int32_t length);

int ReadArchiveByte(FileHandle handle, uint32_t wanted);
void FillBits(uint8_t n);
uint16_t GetBits(uint8_t n);
void StartBitInput(char methodDigit);

void MakeTable(uint16_t symbolCount, const uint8_t* lengths, int tableBits, uint16_t* table);
void ReadPosLengths(int16_t symbolCount, int16_t countBits, int16_t specialIndex);
void ReadCharLengths();

uint16_t DecodeChar();
uint16_t DecodePosition();
// Expands one entry's compressed data from the archive's position into the
// sink. Reads never go past packedSize bytes.
DecodeResult DecodeEntry(char methodDigit, uint32_t packedSize, uint32_t originalSize);
// Copies size stored bytes from the archive's position into the sink.
DecodeResult CopyStored(int32_t size);
// The plain sink (an OutputSink): the bytes into the output file, if any,
// and the running CRC; or, with the memory marker, into the text that
// memoryTarget names (the notice in messageText, the setup script in
// scriptBuffer), replacing it up to the first NUL and the buffer's capacity.
// 0 when the file could not take them all.
int StoreOutput(const uint8_t* data, uint32_t count, uint32_t done);
