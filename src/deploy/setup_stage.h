#pragma once
// The new system's setup stage. Inside the PE the deployer copies itself into the new system's
// "Windows\Setup\Scripts\pl" with what the task carries for it (the install items, the product key, the session),
// the wishlist and "Kavrin.exe", and hooks "Windows\Setup\Scripts\SetupComplete.cmd", which Windows runs once at
// the end of its setup, keeping what the image already had there. That hook runs "pl_pe.exe --setup": the key is
// installed, the items downloaded and run, the program installed, the wishlist put on the public desktop, the
// session told, and the hook taken away again. Its logs are "pl_setup.log" and "setupcomplete.log" in that folder.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "deploy/deploy_task.h"
#include "net/download.h"

namespace pl::deploy {

// Below the new system's root.
inline constexpr wchar_t kSetupFolder[] = L"Windows\\Setup\\Scripts\\pl";

// PE side: everything into `target`'s setup folder and the hook in place (dry-run: only logged). `program` is the
// running deployer. False with the reason when something could not be written.
bool PrepareSetupStage(wchar_t target, const FoundTask& found, const std::wstring& program, bool dryRun,
                       std::string* error);

// The hook: one line that runs the setup stage and ends the script there (cmd reads a script line by line from the
// file, and the stage replaces this very file).
std::string SetupHookText();
// Whether a SetupComplete.cmd is this hook (a retry finds its own).
bool IsSetupHook(std::string_view scriptBytes);

struct SetupOptions {
  std::wstring folder;                         // the setup folder; empty = the running program's folder
  net::RetryPause retryPause;                  // between download attempts; empty = Sleep
  int32_t installTimeLimitMs = 20 * 60 * 1000; // per item; it is stopped after that
  std::wstring publicDesktop;                  // empty = the system's public desktop
  // Installs "Kavrin.exe" as the host does itself; empty = install::SelfInstall.
  std::function<bool(const std::wstring& program, std::string* error)> selfInstall;
};
// New-system side ("pl_pe.exe --setup"): the exit code, 0 unless the setup file could not be read.
int RunSetupStage(const SetupOptions& options);

}  // namespace pl::deploy
