#pragma once
// The words pl_main_host understands, shared with the tests that start it.

#include <cstdint>

namespace pl::test::main_host {

inline constexpr wchar_t kStaging[] = L"staging";      // =other (default), room, shrink, bitlocker, none
inline constexpr wchar_t kBitLockerOn[] = L"bitlocker-on";
inline constexpr wchar_t kPe[] = L"pe";                 // inside a PE without a found system: two candidates
inline constexpr wchar_t kHoldStart[] = L"hold-start";  // the start-up check waits for kStartEvent
inline constexpr wchar_t kRun[] = L"run";              // =ok (default), fail, fail-session
inline constexpr wchar_t kEdition[] = L"edition";      // =the edition a reinstall reports
inline constexpr wchar_t kHoldRun[] = L"hold-run";      // runs report 40 % and wait for kRunEvent
inline constexpr wchar_t kBytes[] = L"bytes";          // while held, runs report a download at 18.4 MB/s
inline constexpr wchar_t kUsbDrives[] = L"usb";        // =number of drives the scan finds
inline constexpr wchar_t kHoldUsb[] = L"hold-usb";      // the drive scan waits for kUsbEvent
inline constexpr wchar_t kUsbPulled[] = L"usb-pulled";  // later scans lack the first drive and wait for kUsbLaterEvent
inline constexpr wchar_t kUsbNoSystemDisk[] = L"usb-no-system-disk";  // the scan offers none: system disk unknown
inline constexpr wchar_t kAi[] = L"ai";                // =retry: the AI dialog asks for one retry
inline constexpr wchar_t kRestart[] = L"restart";      // =fail: the restart fails with error 5
inline constexpr wchar_t kThreadFail[] = L"thread-fail";  // no thread after the start-up one (=all: none) is made
inline constexpr wchar_t kThrow[] = L"throw";          // =start, catalog, run, usb: that seam throws
inline constexpr wchar_t kDryRun[] = L"dry-run";
inline constexpr wchar_t kCatalog[] = L"catalog";      // =fail: the catalog does not load

inline constexpr wchar_t kStartEvent[] = L"PlMainHostStart";
inline constexpr wchar_t kRunEvent[] = L"PlMainHostRun";
inline constexpr wchar_t kUsbEvent[] = L"PlMainHostUsb";
inline constexpr wchar_t kUsbLaterEvent[] = L"PlMainHostUsbLater";

// The download the "bytes" word reports: this much present at the start, in all, and received per second.
inline constexpr uint64_t kBytesAtStart = 5ull << 28;      // 1.25 GiB
inline constexpr uint64_t kBytesTotal = 19ull << 28;       // 4.75 GiB, "4.7 GB"
inline constexpr uint64_t kBytesPerSecond = 37ull << 19;   // 18.5 MiB
inline constexpr char kThrown[] = "host failure";

}  // namespace pl::test::main_host
