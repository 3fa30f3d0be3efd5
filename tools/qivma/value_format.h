#pragma once

#include "tools/hostkit/value_format.h"
