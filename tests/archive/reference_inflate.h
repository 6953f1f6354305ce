#pragma once
// The plain bit-by-bit deflate decoder the table-driven one is checked against: one bit per read, canonical
// decoding with counts and sorted symbols, no lookup tables. Slow and obviously right.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "archive/inflate.h"

namespace pl::archive::test {

// Same contract as pl::archive::Inflate: output replaced, partial output kept on failure, the limit never passed.
InflateStatus ReferenceInflate(std::span<const uint8_t> input, std::vector<uint8_t>* output,
                               size_t outputLimit = SIZE_MAX);

}  // namespace pl::archive::test
