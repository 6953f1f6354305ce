#pragma once
// The mark of a Windows PE as the program reads it, for the scope of a test. The whole prefix sees it: tests
// that use it hold the resource lock prefix_machine.

namespace pl::test {

// Creates HKLM\SYSTEM\CurrentControlSet\Control\MiniNT; deletes it at the end when it was created here.
struct ScopedPeMarker {
  ScopedPeMarker();
  ~ScopedPeMarker();
  ScopedPeMarker(const ScopedPeMarker&) = delete;
  ScopedPeMarker& operator=(const ScopedPeMarker&) = delete;
  bool created = false;
};

}  // namespace pl::test
