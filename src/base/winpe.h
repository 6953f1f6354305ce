#pragma once

namespace pl::base {

// True inside a Windows PE: HKLM\SYSTEM\CurrentControlSet\Control\MiniNT opens for reading. Asked anew each call.
bool IsWinPE();

}  // namespace pl::base
