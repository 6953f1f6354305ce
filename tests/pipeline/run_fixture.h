#pragma once
// The machine a run prepares in these tests. S: (the system drive) and D: (a second fixed drive with room) are
// folders of the test mapped into the prefix; the staging planner asks a simulated machine that knows both and
// creates its directories on them for real. The test's own session of the backend stand-in takes the reports and
// serves the downloads; the fake tools answer for PowerShell, Dism and bcdedit. Firmware (UEFI), the system drive's
// volume GUID, its used bytes, the program's path, the clock and the retry pauses come from the seam, and the fixed
// drives are the simulated machine's.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/service_config.h"
#include "devserver_client.h"
#include "drive_mapping.h"
#include "log_capture.h"
#include "pe_marker.h"
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

// Folders at every name the task file's temporary file may take ("task.ini.tmp", "task.ini.N.tmp") in the data
// folder `dataDirectory`, so that writing the task fails.
void BlockTaskFile(const std::wstring& dataDirectory);

// The boot manager as the fake bcdedit's calls left it, answered ones failing: the default and time-out of the
// fixture's "/enum {bootmgr}" answer, then the entries made, the default, the time-out and the one-shot sequence.
struct BootStore {
  std::set<std::string> entries;
  std::string defaultId = "{current}";
  int timeout = 30;
  std::string bootSequence;
};

// What a run left: its result and its own task file.
struct FaultOutcome {
  bool ok = false;
  std::string error;
  std::wstring taskFile;
  bool armsMachine = true;  // a successful run makes the boot entry and removes the earlier task (not the USB run)
};

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
  ByteCallback ByteRecorder();  // into `transfers`
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
  BootStore BootStoreNow() const;
  // The checks of RunFaultMatrix after one run.
  void ExpectLeftAsItShould(const FaultOutcome& outcome, const char* stage, const std::string& logged, bool inPe,
                            bool afterTask, bool finishes) const;
  // An earlier run's task and wishlist in "E:\$PelloraData$" (E: a fixed drive with little room), and a backup the
  // user made in kData\backup; whether each is still there as it was.
  void PutEarlierFiles();
  bool EarlierTaskIntact() const;
  bool EarlierTaskRemoved() const;
  bool UserBackupIntact() const;

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
  std::vector<TransferBytes> transfers;
  std::vector<uint32_t> pauses;
  pl::test::TempDirectory earlierFolder;
  std::optional<pl::test::ScopedDrive> earlierDrive;
};

inline const std::wstring kUserBackup = kData + L"\\backup\\pellora_backup_20240101_000000.wim";

// One step of a run going wrong, for the fault matrices: the run fails at it, or survives it (empty `error`).
template <typename Fixture>
struct FaultStep {
  const char* name;
  std::function<void(Fixture&)> arrange;
  std::string error;            // the run's message; empty when the run ends well
  const char* stage = nullptr;  // of the failure reports
  bool inPe = false;            // spares a step that is not about the boot entry the entry's bcdedit runs
  std::string logged = {};      // the ERROR line's text, when it is not `error`
  bool afterTask = false;       // fails after the task was written, which removed the earlier one
  bool finishes = true;         // the failure finishes the session (the USB run's after the wipe do not)
};

// Runs `run` once per step, each with a machine of its own holding an earlier run's task and a user's backup, and
// checks what any run must leave: no PE entry as the default or the next boot unless the run ended well (nor left
// at all, unless its deletion failed and the message says so), the earlier default and time-out back; its own task
// only when it ended well, the earlier one intact or (once the run wrote its own) removed; the user's backup as it
// was; a failure reported under its stage and the session finished; the failure's ERROR line in the log. Reaching
// the end of each step is the process staying alive.
template <typename Fixture, typename Run>
void RunFaultMatrix(const std::vector<FaultStep<Fixture>>& steps, Run run) {
  struct Fresh : Fixture {
    void TestBody() override {}
  };
  for (const FaultStep<Fixture>& step : steps) {
    SCOPED_TRACE(step.name);
    std::optional<pl::test::ScopedPeMarker> pe;
    Fresh t;
    t.SetUp();
    t.PutEarlierFiles();
    if (step.inPe) {
      pe.emplace();
      t.resources.drv = t.Serve("tools.zip", RunFixture::ToolsZip(true));
    }
    step.arrange(t);
    const FaultOutcome outcome = run(t);
    EXPECT_EQ(outcome.error, step.error);
    EXPECT_EQ(outcome.ok, step.error.empty());
    t.ExpectLeftAsItShould(outcome, step.stage, step.logged.empty() ? step.error : step.logged, step.inPe,
                           step.afterTask, step.finishes);
    t.TearDown();
  }
}

}  // namespace pl::pipeline::test
