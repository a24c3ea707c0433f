#pragma once

#include "platform/platform.h"

// The platform services as the real Win32 calls.
Platform win32_platform();
