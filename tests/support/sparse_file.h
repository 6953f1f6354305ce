#pragma once
// Large files without writing their bytes: the host file system stores the unwritten part as a hole, so tests
// can have files of several GiB (sizes past 4 GiB, "full" downloads) at no cost.

#include <cstdint>
#include <string>

namespace pl::test {

// Creates (or replaces) `path` as `size` bytes of zeros without writing them. False when it cannot.
bool MakeFileOfSize(const std::wstring& path, uint64_t size);

// Up to `count` bytes from `offset` on; fewer at the end of the file, empty when it cannot be read.
std::string ReadFileRange(const std::wstring& path, uint64_t offset, uint32_t count);

}  // namespace pl::test
