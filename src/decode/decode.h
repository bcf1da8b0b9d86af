// CRC, bit input, Huffman tables, block decoder and the output sink.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/handles.h"

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
// Expands the current entry (method digit and sizes from its header) into the sink.
void DecodeEntry();
void CopyStored(int32_t size);

void WriteOutput(const uint8_t* buffer, uint32_t count, FileHandle handle);
void ShowProgress(uint32_t done, uint32_t total);
