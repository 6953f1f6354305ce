#include "simulated_machine.h"

#include <windows.h>

#include <regex>

#include "base/constants.h"
#include "base/secure_directory.h"
#include "base/text.h"
#include "tools/tool_runner.h"

namespace pl::disks::test {
namespace {

uint64_t NumberAfter(const std::string& text, const std::string& key) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(key + "(\\d+)"))) return 0;
  return std::stoull(match[1]);
}

}  // namespace

VolumeProbe SimulatedMachine::Probe() {
  return {
      .logicalDrives =
          [this] {
            uint32_t bits = 0;
            for (const auto& [letter, volume] : volumes) bits |= 1u << (letter - L'A');
            for (wchar_t letter : otherLetters) bits |= 1u << (letter - L'A');
            return bits;
          },
      .isFixedDrive = [this](wchar_t l) { return volumes.count(l) != 0 && volumes.at(l).fixed; },
      .diskNumberOfDrive = [this](wchar_t l) { return volumes.count(l) ? volumes.at(l).disk : -1; },
      .isBitLockerProtected = [this](wchar_t l) { return volumes.count(l) && volumes.at(l).bitLocker; },
      .freeBytesForCaller = [this](wchar_t l) { return volumes.count(l) ? volumes.at(l).free : 0; },
      .runningWindowsDriveLetter = [this] { return systemDrive; },
  };
}

StagingMachine SimulatedMachine::Bind() {
  return {
      .systemDriveLetter = [this] { return systemDrive; },
      .diskNumberOfDrive = [this](wchar_t l) { return volumes.count(l) ? volumes.at(l).disk : -1; },
      .findBootDisk =
          [this](FirmwareType firmware) {
            firmwareAsked.push_back(firmware);
            return bootDisk;
          },
      .pickStagingDataVolume =
          [this](wchar_t exclude, int disk, wchar_t* blocked) {
            return PickStagingDataVolume(exclude, disk, blocked, Probe());
          },
      .isStagingCandidate = [this](wchar_t l, wchar_t exclude) { return IsStagingCandidate(l, exclude, Probe()); },
      .freeBytesForCaller = [this](wchar_t l) { return volumes.count(l) ? volumes.at(l).free : 0; },
      .volumeLabel = [this](wchar_t l) { return volumes.count(l) ? volumes.at(l).label : std::string(); },
      .leftoverSize =
          [this](const std::wstring& d, const base::KeepRule& keep) {
            keepRule = keep;
            return oldData.count(d) ? oldData.at(d) : 0;
          },
      .clearLeftover =
          [this](const std::wstring& d, const base::KeepRule& keep) {
            keepRule = keep;
            events.push_back("delete " + base::WideToUtf8(d));
            if (deleteFails) return false;
            volumes.at(d[0]).free += oldData[d];
            oldData.erase(d);
            return true;
          },
      .listUnmountedVolumes =
          [this](int disk, const std::string& label) {
            std::vector<UnmountedVolume> found;
            for (const SimLeftover& l : leftovers) {
              if (l.disk == disk && (label.empty() || l.volume.label == label)) found.push_back(l.volume);
            }
            return found;
          },
      .highestFreeDriveLetter =
          [this]() -> wchar_t {
            for (wchar_t l = L'Z'; l >= L'D'; --l) {
              if (!volumes.count(l) && !otherLetters.count(l)) return l;
            }
            return 0;
          },
      .assignDriveLetter =
          [this](const UnmountedVolume& volume, wchar_t letter) {
            events.push_back("mount " + base::WideToUtf8(volume.volumePath) + " at " +
                             base::WideToUtf8(std::wstring(1, letter)));
            for (auto it = leftovers.begin(); it != leftovers.end(); ++it) {
              if (it->volume.volumePath != volume.volumePath) continue;
              if (it->mountFails) return false;
              volumes[letter] = {.disk = it->disk, .label = it->volume.label, .free = it->volume.freeBytes};
              leftovers.erase(it);
              return true;
            }
            return false;
          },
      .largestUnallocatedGap =
          [this](wchar_t l, uint64_t* bytes) {
            if (!volumes.count(l) || !gaps.count(volumes.at(l).disk) || gaps.at(volumes.at(l).disk) == 0) {
              return false;
            }
            *bytes = gaps.at(volumes.at(l).disk);
            return true;
          },
      // The real runner (logging, dry-run, the fake diskpart and its journal), then the script's effect.
      .runDiskpartScript =
          [this](const std::string& script, bool dryRun) {
            const bool ok = tools::RunDiskpartScript(script, dryRun);
            if (ok && !dryRun) ApplyScript(script);
            return ok;
          },
      .createDirectory =
          [this](const std::wstring& path) -> uint32_t {
            if (unwritableDirectories.count(path)) return ERROR_ACCESS_DENIED;
            events.push_back("mkdir " + base::WideToUtf8(path));
            return makeDirectories ? base::CreateProtectedDirectory(path) : 0;
          },
      // The live protection on the directories made for real, and the pipeline's tests see it work.
      .protectDirectory =
          [](const std::wstring& path) {
            return base::ProtectExistingDirectory(path, base::ProtectionDepth::WholeTree);
          },
  };
}

void SimulatedMachine::ApplyScript(const std::string& script) {
  std::smatch match;
  if (!std::regex_search(script, match, std::regex("assign letter=\"(.)\""))) return;
  const wchar_t letter = static_cast<wchar_t>(match[1].str()[0]);
  if (std::regex_search(script, match, std::regex("^select disk (\\d+)"))) {
    const int disk = std::stoi(match[1]);
    const uint64_t bytes = NumberAfter(script, "size=") * base::kMiB;
    gaps[disk] -= bytes;
    volumes[letter] = {.disk = disk, .label = "PLSTAGE", .free = bytes};
  } else if (std::regex_search(script, match, std::regex("^select volume=(.)"))) {
    SimVolume& system = volumes.at(static_cast<wchar_t>(match[1].str()[0]));
    const uint64_t bytes = NumberAfter(script, "desired=") * base::kMiB;
    system.free -= bytes;
    volumes[letter] = {.disk = system.disk, .label = "PLSTAGE", .free = bytes};
  }
  events.push_back("partition " + base::WideToUtf8(std::wstring(1, letter)));
}

}  // namespace pl::disks::test
