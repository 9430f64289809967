// Invariants that must hold in every build, optimised ones included. A
// failed check is a programming error: it prints one line naming the
// expression, the function and the place, and aborts.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void check_failed(const char* expression, const char* function,
                                      const char* file, int line)
{
    std::fprintf(stderr, "error: %s:%d: %s: check \"%s\" failed\n", file, line, function,
                 expression);
    std::abort();
}

#define ZEN_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : check_failed(#condition, __func__, __FILE__, __LINE__))
