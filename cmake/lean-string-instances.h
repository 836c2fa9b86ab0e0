// Forced into every source built for size: basic_string's members are compiled where they are used, so that
// link-time optimisation keeps only those the program calls instead of the library's whole string instances.
#pragma once

#include <bits/c++config.h>

// -1 lifts only basic_string's extern template declarations; the library's other ones stay in force.
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
