#pragma once
// A machine made of plain data behind the planner: disks with unallocated space, volumes with letters,
// labels, free space, disk numbers and BitLocker state, leftover "PLSTAGE" volumes without a letter, and
// what a diskpart script, a mount, a deletion or a new directory does to it. The data-volume choice and the
// candidate test are the real ones, asked over this data.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "disks/planner.h"

namespace pl::disks::test {

struct SimVolume {
  int disk = 0;
  std::string label;
  uint64_t free = 0;
  bool bitLocker = false;
  bool fixed = true;
};

struct SimLeftover {
  UnmountedVolume volume;
  int disk = 0;
  bool mountFails = false;
};

struct SimulatedMachine {
  wchar_t systemDrive = L'C';
  int bootDisk = 0;                                // FindBootDisk's answer
  std::map<wchar_t, SimVolume> volumes;
  std::set<wchar_t> otherLetters;                  // letters in use by drives that are not fixed volumes
  std::vector<SimLeftover> leftovers;
  std::map<int, uint64_t> gaps;                    // largest unallocated stretch per disk
  std::map<std::wstring, uint64_t> oldData;        // bytes an earlier run left in a directory
  bool deleteFails = false;
  base::KeepRule keepRule;                         // what the last look at old data was told to leave
  std::set<std::wstring> unwritableDirectories;
  bool makeDirectories = false;                    // also create them for real (on drives the test mapped)
  std::vector<std::string> events;                 // what was done to the machine, in order
  std::vector<FirmwareType> firmwareAsked;

  StagingMachine Bind();
  VolumeProbe Probe();
  void ApplyScript(const std::string& script);
};

}  // namespace pl::disks::test
