#include "pipeline/task_file.h"

#include <windows.h>

#include <string_view>

#include "base/secure_directory.h"
#include "base/unique_handle.h"

namespace pl::pipeline {
namespace {

// The value on one line: CR LF, a lone CR and a lone LF each become one blank. The deployer reads this file to
// decide which volume to overwrite, so no text from a catalog or a registry may add keys to it.
std::string OneLine(std::string_view value) {
  std::string line;
  line.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\r' || value[i] == '\n') {
      line += ' ';
      if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
    } else {
      line += value[i];
    }
  }
  return line;
}

void AddLine(std::string* text, std::string_view key, std::string_view value) {
  *text += OneLine(key);
  *text += '=';
  *text += OneLine(value);
  *text += "\r\n";
}

// An install item's key as the file can carry it: the item's position (1, 2, ...) for a key that is empty, that a
// reader would take for a section ("[deploy]" would start a second one with the keys that follow) or a comment
// (";"), or that holds "=" (the key ends at the first one).
std::string InstallKey(const std::string& key, size_t position) {
  const bool unusable = key.empty() || key[0] == '[' || key[0] == ';' || key.find('=') != std::string::npos;
  return unusable ? std::to_string(position) : key;
}

std::string TaskText(const DeployTask& task, const std::vector<config::InstallItem>& items) {
  std::string text = "[deploy]\r\n";
  AddLine(&text, "targetDisk", std::to_string(task.targetDisk));
  AddLine(&text, "targetPartition", std::to_string(task.targetPartition));
  AddLine(&text, "targetVolumeGuid", task.targetVolumeGuid);
  AddLine(&text, "firmware", task.firmware);
  AddLine(&text, "imagePath", task.imagePath);
  AddLine(&text, "imageIndex", std::to_string(task.imageIndex));
  AddLine(&text, "toolsPath", task.toolsPath);
  AddLine(&text, "stagingDir", task.stagingDir);
  AddLine(&text, "peBootId", task.peBootId);
  AddLine(&text, "sessionId", task.sessionId);
  AddLine(&text, "oemProductKey", task.oemProductKey);
  AddLine(&text, "driverBackupPath", task.driverBackupPath);
  AddLine(&text, "osDisplayName", task.osDisplayName);
  AddLine(&text, "mode", task.mode);
  AddLine(&text, "captureDestPath", task.captureDestPath);
  AddLine(&text, "isRestore", task.isRestore ? "1" : "0");
  text += "\r\n[install]\r\n";
  for (size_t i = 0; i < items.size(); ++i) {
    const config::InstallItem& item = items[i];
    AddLine(&text, InstallKey(item.key, i + 1),
            item.fileName + ',' + item.params + ',' + item.url + ',' + item.md5 + ',' + item.displayName);
  }
  return text;
}

std::string WishlistText(const std::vector<std::string>& wishlist) {
  std::string text = "[wishlist]\r\n";
  AddLine(&text, "count", std::to_string(wishlist.size()));
  for (size_t i = 0; i < wishlist.size(); ++i) AddLine(&text, "item" + std::to_string(i + 1), wishlist[i]);
  return text;
}

}  // namespace

// All or nothing: a cut-off task file handed over as written would send the deployer off with half its
// instructions. The temporary file is always a new one (base::CreateTemporaryBeside): whatever lies at its name, a
// link planted there to a file elsewhere included, is passed over, never written through. The rename replaces a
// link at `path` itself, not what it points to.
bool WriteHandOverFile(const std::wstring& path, const std::string& text) {
  // A read-only file is not to be replaced. Windows refuses the rename over it; Wine does not, so ask first.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
  std::wstring temporary;
  base::UniqueFileHandle file =
      base::CreateTemporaryBeside(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &temporary);
  if (!file) return false;
  base::ScopeGuard removeTemporary([&] {
    file.reset();
    DeleteFileW(temporary.c_str());
  });
  const std::string bytes = "\xEF\xBB\xBF" + text;
  DWORD written = 0;
  // The files are a few KiB; one call writes them whole or fails.
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    return false;
  }
  if (!FlushFileBuffers(file.get()) || !file.close()) return false;
  if (!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return false;
  }
  removeTemporary.release();
  return true;
}

bool WriteTaskFile(const std::wstring& path, const DeployTask& task, const std::vector<config::InstallItem>& items) {
  return WriteHandOverFile(path, TaskText(task, items));
}

bool WriteWishlistFile(const std::wstring& path, const std::vector<std::string>& wishlist) {
  return WriteHandOverFile(path, WishlistText(wishlist));
}

std::vector<HandOverSection> ParseHandOverText(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  std::vector<HandOverSection> sections;
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    bytes = end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      sections.push_back({std::string(line.substr(1, line.size() - 2)), {}});
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (sections.empty()) sections.push_back({});
    sections.back().pairs.emplace_back(line.substr(0, equals), line.substr(equals + 1));
  }
  return sections;
}

bool FindHandOverValue(const std::vector<HandOverSection>& sections, std::string_view section, std::string_view key,
                       std::string* value) {
  for (const HandOverSection& s : sections) {
    if (s.name != section) continue;
    for (const auto& [k, v] : s.pairs) {
      if (k == key) {
        *value = v;
        return true;
      }
    }
    return false;
  }
  return false;
}

}  // namespace pl::pipeline
