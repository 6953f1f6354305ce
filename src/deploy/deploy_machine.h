#pragma once
// What the deployer asks of the machine it runs on, bound to the live calls by default: the volumes with their
// letters, GUIDs, kinds, labels, sizes, Windows and markers; the boot entry the PE was started from and the
// partition of the boot manager (both through bcdedit); whether this is a PE; the PE's own drive; the running
// program. Tests answer from plain data what Wine cannot give.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/target_choice.h"

namespace pl::deploy {

struct DeployMachine {
  std::function<std::vector<VolumeFacts>()> volumes;  // every drive letter present, in letter order
  std::function<std::string()> currentBootEntry;      // braces included; empty when bcdedit cannot tell
  std::function<wchar_t()> bootManagerLetter;         // the system partition of the boot manager; 0 without letter
  std::function<bool()> isWinPE;
  std::function<wchar_t()> peLetter;                  // the drive of the running Windows (X: in a PE)
  std::function<std::wstring()> programPath;
};
const DeployMachine& LiveDeployMachine();

// A whole file's bytes; false when it cannot be opened (other readers and writers may hold it meanwhile).
bool ReadWholeFile(const std::wstring& path, std::string* bytes);

// The volumes as Windows reports them: kind, GUID, label and size of each letter's root, the name of a Windows
// found on it (from its SOFTWARE hive; "Windows" when that cannot be read), and its marker file.
std::vector<VolumeFacts> ReadVolumes();

// The device of bcdedit's "/enum {bootmgr}" answer after "partition=" ("S:" or "\Device\HarddiskVolume1"), up to
// the end of its line; empty when there is none.
std::string BootManagerDevice(std::string_view bcdeditOutput);
// A device text as a drive letter: "S:" directly; a device name through `deviceOfLetter` (what QueryDosDevice
// names behind each letter, empty for none); 0 when no letter names it.
wchar_t DriveLetterOfDevice(const std::string& device, const std::function<std::wstring(wchar_t)>& deviceOfLetter);

}  // namespace pl::deploy
