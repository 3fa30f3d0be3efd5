// What the driver reports about itself.
#pragma once

#include "qivma.h"

// The driver's name, in DriverInfo and in every channel's log messages.
extern const char kDriverName[];

// The 379-byte banner in code page 437 (box drawing and shade characters).
extern const char *const kDriverBanner;
constexpr int kDriverBannerLength = 379;

constexpr int32_t kDefaultTimeout = 4;  // 10 ms units
constexpr SerialLineSettings kDefaultLineSettings = {19200, 8, QIV_STOPBITS_ONE, QIV_PARITY_ODD};
