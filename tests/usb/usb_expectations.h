#pragma once
// What the USB maker's tests expect of the tools, written out once.

#include <string>
#include <vector>

namespace pl::usb::test {

// bcdedit's arguments for one stick store on boot letter `d`, in order.
inline std::vector<std::string> StoreCommands(char d, bool uefi) {
  const std::string drive = std::string(1, d) + ":";
  const std::string store = "/store \"" + drive + (uefi ? "\\EFI\\Microsoft\\Boot\\BCD\" " : "\\Boot\\BCD\" ");
  const std::string ramdisk = " ramdisk=[" + drive + "]\\$PelloraData$\\pe.wim,{ramdiskoptions}";
  std::vector<std::string> commands = {
      store + "/create {ramdiskoptions} /d \"Ramdisk Options\"",
      store + "/set {ramdiskoptions} ramdisksdidevice partition=" + drive,
      store + "/set {ramdiskoptions} ramdisksdipath \\$PelloraData$\\boot.sdi",
      store + "/set {default} device" + ramdisk,
      store + "/set {default} osdevice" + ramdisk,
      store + "/set {default} path \\Windows\\System32\\boot\\" + (uefi ? "winload.efi" : "winload.exe"),
      store + "/set {default} systemroot \\Windows",
      store + "/set {default} winpe yes",
  };
  if (!uefi) commands.push_back(store + "/set {default} detecthal yes");
  commands.push_back(store + "/set {default} bootmenupolicy Legacy");
  commands.push_back(store + "/set {bootmgr} timeout 0");
  return commands;
}

// Both stores, BIOS first.
inline std::vector<std::string> BothStores(char d) {
  std::vector<std::string> commands = StoreCommands(d, false);
  for (const std::string& command : StoreCommands(d, true)) commands.push_back(command);
  return commands;
}

// "diskpart" with the format script of disk 3.
inline constexpr char kDisk3Script[] =
    "select disk 3\r\nclean\r\ncreate partition primary size=3072\r\nactive\r\n"
    "format fs=fat32 quick label=\"PELLORA_PE\"\r\nassign\r\ncreate partition primary\r\n"
    "format fs=ntfs quick label=\"PELLORA_DATA\"\r\nassign\r\n";

}  // namespace pl::usb::test
