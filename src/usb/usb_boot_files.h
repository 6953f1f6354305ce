#pragma once
// Makes the stick's boot partition start the PE from a RAM disk on BIOS and UEFI machines: bcdboot writes both
// boot stores, then each store's default loader entry is turned into the RAM-disk PE entry.

#include <string>
#include <vector>

namespace pl::usb {

// bcdboot from the running Windows onto `bootLetter`, then both stores edited. False when bcdboot fails or both
// stores fail; one failing store only warns (the stick still starts on the other firmware). In dry-run only the
// bcdboot command is logged.
bool WriteUsbBootFiles(wchar_t bootLetter, const std::wstring& peWimPath, const std::wstring& bootSdiPath,
                       bool dryRun);

// The edits of one store ("X:\Boot\BCD" for BIOS, "X:\EFI\Microsoft\Boot\BCD" for UEFI). False when a required
// edit fails, the creation of {ramdiskoptions} included (a fresh store has none).
bool ConfigureUsbBcdStore(const std::wstring& storePath, wchar_t bootLetter, const std::wstring& peWimPath,
                          const std::wstring& bootSdiPath, bool uefi);

}  // namespace pl::usb
