#pragma once
// Unpacks a zip file onto disk with the program's own zip reader and inflate decoder: the thin Windows layer
// (reading the archive, creating folders, writing files, logging) around zip_reader.h.

#include <string>

namespace pl::archive {

// True when the archive's central directory was walked to its end; single entries may have been skipped, each
// logged as a warning and counted in the closing INFO line (a skipped entry leaves no file behind). False, with
// the message in `*error` when given and nothing logged, when the archive cannot be read or is not a zip, its
// central directory is damaged, or the next entry would take the total written past ExtractionWriteLimit; files
// written before that stay on disk. Existing files are overwritten.
bool ExtractZip(const std::wstring& zipPath, const std::wstring& destination, std::string* error = nullptr);

}  // namespace pl::archive
