// How the tool shows the words it read and understands the values to write.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

enum class ValueKind { kWord, kDoubleWord, kBit };

// "4660 (unsigned 4660, 0x1234)", "305419896 (0x12345678, float 5.69e-28)", "1".
std::string DescribeWord(int16_t word);
std::string DescribeDoubleWord(int16_t low, int16_t high);
std::string DescribeBit(int16_t word);

// The words that `text` stands for: a 16-bit value (-32768 to 65535, decimal
// or 0x hexadecimal), a 32-bit value (also a float: "1.5", "-2e3") as its low
// and high word, or a bit (0, 1, on, off). false with a reason otherwise.
bool ParseValue(const std::string &text, ValueKind kind, std::vector<int16_t> &words,
                std::string *error);

// The frame with its carriage return shown as <CR> and other control bytes
// as <XX>.
std::string PrintableFrame(const std::string &bytes);

std::string JsonString(const std::string &text);
