#pragma once

#include "platform/platform.h"

// The real hardware and desktop back-ends.
Platform makePlatform();
