// Corvina's headers are C++20 (std::span, designated initialisers, char8_t):
// a program compiled in an older mode stops here, with the reason, instead
// of at the first use deep inside a header.
#pragma once

#if defined(_MSVC_LANG)
#if _MSVC_LANG < 202002L
#error "Corvina needs C++20: compile with /std:c++20 or later"
#endif
#elif __cplusplus < 202002L
#error "Corvina needs C++20: compile with -std=c++20 or later"
#endif
