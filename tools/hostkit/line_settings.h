// The line's rate and character format as people write them ("19200-8O1",
// or "8O1" alone) and as the driver takes them. The tool's options, the
// gateway's configuration and the benchmarks read and print them here, so
// that a text one accepts the other accepts too, with the same words.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "qivma.h"

// The settings a controller leaves the factory with, and the driver's own.
inline constexpr SerialLineSettings kFactoryLineSettings = {19200, 8, QIV_STOPBITS_ONE,
                                                            QIV_PARITY_ODD};

// QIV_PARITY_*: the letter of the settings text and the name people say.
char ParityLetter(uint16_t parity);
const char *ParityName(uint16_t parity);
// The parity of a name or its letter, in any case (odd, ODD, o); -1 for none.
int ParityCode(const std::string &text);

// QIV_STOPBITS_*: "1", "1.5" or "2", and the number of bit times.
const char *StopBitsText(uint16_t stopBits);
double StopBitsCount(uint16_t stopBits);
// The code of "1", "1.5" or "2"; -1 for anything else.
int StopBitsCode(const std::string &text);

// Reads "8O1", "7e2", "8N1.5", or with the rate first: "9600-8E1" (or
// "9600,8E1"). What the text gives goes into `settings`, the rate only when
// it is given (*rateGiven, where asked, says whether). False with what is wrong in words
// that follow the option's or key's name: "takes data bits ..., not '8X1'".
bool ParseLineSettings(const std::string &text, SerialLineSettings &settings, bool *rateGiven,
                       std::string *error);

// "19200-8O1".
std::string LineSettingsText(const SerialLineSettings &settings);

// The time that `characters` characters take on the line, and one
// character's, in milliseconds; 0 at rate 0.
double LineMs(const SerialLineSettings &settings, size_t characters);
double CharacterMs(const SerialLineSettings &settings);
