// Forced into size-built sources: basic_string's members compiled where used, so LTO keeps only those called.
#pragma once

#include <bits/c++config.h>

// -1 lifts only basic_string's extern template declarations; the library's other ones stay in force.
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
