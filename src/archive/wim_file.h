#pragma once
// The image list of a WIM or ESD file on disk: the Windows layer that feeds wim_reader.h from the file.

#include <string>

#include "archive/wim_reader.h"

namespace pl::archive {

// Reads only the header and the XML image list, however large the file. False with a short Chinese reason in
// `*error` (the caller names the file): the reader's reasons, or the file could not be opened or read, with its
// GetLastError code. The file stays open to other readers, writers and deletion meanwhile.
bool ReadWimFileImageList(const std::wstring& path, WimInfo* info, std::string* error);

}  // namespace pl::archive
