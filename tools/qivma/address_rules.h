// Why the driver refuses a tag address, in words a person can act on. The
// driver answers only "refused"; the reasons come from its own parse, linked
// here, and this file only says them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Every rule that the address breaks, first to last; empty when none does.
std::vector<std::string> AddressProblems(const std::string &address, int32_t dataType,
                                         int32_t count);

// The data type a person most likely means by this address when none is
// given: a bit for an eight-character relay or contact address, 32 bits for
// E and G, 16 bits otherwise.
int32_t InferredDataType(const std::string &address);
