// The driver's banner is code page 437 text; terminals today speak UTF-8.
#pragma once

#include <string>

// `text` with every byte of code page 437 above 0x7F rendered as UTF-8.
std::string Cp437ToUtf8(const std::string &text);
