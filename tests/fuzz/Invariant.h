#pragma once

#include "kintone/Kintone.h"

#include <cstdint>

using Json = stampo::Kintone::Json;

// Stops a fuzz run (or a corpus replay) at once, with the input that broke the invariant.
inline void require(bool holds) {
    if (!holds)
        __builtin_trap();
}

// The input as the client hands a kintone answer on; none when it would refuse it.
inline std::optional<Json> parsedAnswer(const std::uint8_t* data, std::size_t size) {
    return stampo::KintoneAnswer::parse({reinterpret_cast<const char*>(data), size});
}
