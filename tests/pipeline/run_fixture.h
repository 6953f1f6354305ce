#pragma once
// The machine a run prepares in these tests. S: (the system drive) and D: (a second fixed drive with room) are
// folders of the test mapped into the prefix; the staging planner asks a simulated machine that knows both and
// creates its directories on them for real. The test's own session of the backend stand-in takes the reports and
// serves the downloads; the fake tools answer for PowerShell, Dism and bcdedit. Firmware (UEFI), the system drive's
// volume GUID, its used bytes, the program's path, the clock and the retry pauses come from the seam.

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "config/service_config.h"
#include "devserver_client.h"
#include "drive_mapping.h"
#include "log_capture.h"
#include "pipeline/pipeline_common.h"
#include "simulated_machine.h"
#include "test_support.h"

namespace pl::pipeline::test {

inline const std::wstring kSystemGuid = L"\\\\?\\Volume{5a0c1e2b-7d3f-4e61-9a4b-100000000000}\\";
inline constexpr char kEntryId[] = "{8d3e5f20-1c2b-11ef-9a4b-0800200c9a66}";
inline constexpr char kProductKey[] = "VK7JG-NPHTM-C97JM-9MPGT-3V66T";
inline const std::wstring kData = L"D:\\$PelloraData$";
inline const std::wstring kBoot = L"S:\\$PelloraData$Boot$";

// bcdedit's arguments for the UEFI entry "id" of the PE in kBoot, in order: the read of the boot manager, then the
// creation (the two object commands that may fail quietly are the third and fourth).
std::vector<std::string> BootEntryCommands(const std::string& id);
// What the boot entry logs for them: each command, in dry-run with its skip line.
std::vector<std::string> BootEntryLog(const std::string& id, bool dryRun);

struct ProgressEvent {
  std::string stage;
  std::string message;
  int percent = 0;
};

struct RunFixture : pl::test::LoggedTest {
  RunFixture();

  // The tools package: two drivers, and the deployer stand-in as "bin\pl_pe.exe" when `withDeployer`.
  static std::string ToolsZip(bool withDeployer);
  // A WIM of `images` images, image i named "Windows 11 Pro i" (edition "Professional", x64), padded to `size`.
  static std::string OsImage(int images, size_t size);
  // `bytes` served as "/files/<name>" by the test's session.
  config::ResourceRef Serve(const std::string& name, const std::string& bytes);
  // The usual answers of the fake tools; rules added before take precedence.
  void AnswerToolsAsUsual();
  ProgressCallback Recorder();
  std::vector<int> Percents();
  // What the stand-in received, as "create <key>", "device", "event <stage> <status>[ <message>]",
  // "error <stage> <message>" and "finish <status>".
  std::vector<std::string> Reports() const;
  // Only the failure reports: failed stage events, errors and finishes.
  std::vector<std::string> FailureReports() const;
  std::string Read(const std::wstring& path) const;
  std::vector<std::string> BcdeditArguments() const;
  // The files asked of the stand-in from request `from` on, in arrival order: "/files/<name>", and " <range>" when
  // the request asked for a range.
  std::vector<std::string> Downloads(size_t from = 0) const;
  // Whether `lines` holds each of `wanted` in this order (others between them allowed); says what is missing.
  static ::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                            const std::vector<std::string>& wanted);

  pl::test::TempDirectory systemFolder;
  pl::test::TempDirectory dataFolder;
  pl::test::ScopedDrive systemDrive{L'S', systemFolder.path};
  pl::test::ScopedDrive dataDrive{L'D', dataFolder.path};
  disks::test::SimulatedMachine sim;
  PipelineMachine machine;
  pl::test::FakeTools fake;
  pl::test::DevServerSession server;
  pl::test::ScopedEnvironment backend;
  config::ExResources resources;
  std::mutex mutex;
  std::vector<ProgressEvent> progress;
  std::vector<uint32_t> pauses;
};

}  // namespace pl::pipeline::test
