#pragma once

#include <cstdio>
#include <cstdlib>

namespace kova::fuzz {

// An invariant that does not hold is a finding: say which, and stop so that the fuzzer keeps the input.
inline void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace kova::fuzz
