// The platform on Linux: a registry over hive files (a SYSTEM hive, and
// the SOFTWARE hive beside it), and standard output as UTF-8. There is no
// running Windows here: no files to look up, no delayed moves.
#pragma once

#include "platform/platform.h"

Platform posix_platform();

// The arguments as UTF-16, decoded from UTF-8; a byte that is no UTF-8 is
// kept as a lone surrogate (U+DC80 to U+DCFF), so that a file name made of
// any bytes reaches the file system unchanged.
const char16_t* const* posix_arguments(int argc, char** argv);
