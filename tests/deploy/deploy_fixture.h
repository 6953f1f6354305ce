#pragma once
// A whole job under Wine: the host's run on the simulated machine of the pipeline tests (S: system, D: data), then
// the restart into the PE, where the volumes come back under other letters (S: as G:, D: as H:, as a PE names
// them its own way), the MiniNT key marks the PE, the fake tools answer what the deployer asks, and the real
// pl_pe.exe runs on what the host left. The test's session of the stand-in hears both.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "gui_driver.h"
#include "pe_marker.h"
#include "run_fixture.h"

namespace pl::deploy::test {

inline const std::wstring kPeData = L"H:\\$PelloraData$";
inline constexpr char kProgress[] = "[==                         10.0%                          ]\r"
                                    "[===========================100.0%==========================]\r\n"
                                    "The operation completed successfully.\r\n";

struct DeployFixture : pipeline::test::RunFixture {
  ~DeployFixture() override;
  // The restart: S: and D: go, G: and H: come for the same folders, the PE's mark is set; what the host's run
  // journaled and reported so far is left out of what the test reads from then on, and its tool answers go.
  void RestartIntoPe();
  // {current} is the host's entry, the boot manager lies on G:, Dism applies and captures with its progress bars,
  // and every other tool succeeds.
  void AnswerPeToolsAsUsual();
  // Starts pl_pe.exe with `arguments`.
  void StartDeployer(const std::wstring& arguments = L"");
  // Its exit code once it ended (-1 when it did not within minutes).
  long DeployerExit();
  // Its window, once the job has ended in a failure and shows it; nullptr when it did not come.
  HWND FailureWindow();
  // The tools called since the restart, as "tool arguments".
  std::vector<std::string> PeCalls() const;
  // What the session heard since the restart (see RunFixture::Reports).
  std::vector<std::string> PeReports() const;
  // pl_pe.log in the data folder (or in `folder`), timestamps as "T".
  std::vector<std::string> PeLog() const { return PeLog(dataFolder.path); }
  std::vector<std::string> PeLog(const std::wstring& folder) const;

  std::optional<pl::test::ScopedPeMarker> pe;
  std::optional<pl::test::ScopedDrive> target;  // G:
  std::optional<pl::test::ScopedDrive> data;    // H:
  size_t hostCalls = 0;
  size_t hostReports = 0;
  pl::test::GuiProgram deployer;
};

}  // namespace pl::deploy::test
