// CRC, bit input, Huffman tables, block decoder and the output sink.
#pragma once

#include <stdint.h>

#include "platform/handles.h"

constexpr uint16_t kCrcPolynomial = 0xA001;
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
