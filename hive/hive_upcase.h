// Upper case as Windows compares the names of keys and values: each UTF-16
// unit by itself, through Unicode's simple upper case.
#pragma once

#include <cstddef>
#include <cstdint>

char16_t upcase_unit(char16_t unit);
