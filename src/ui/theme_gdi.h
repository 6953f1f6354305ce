#pragma once
// Small GDI helpers shared by the theme's drawing files (not part of the theme's interface).

#include <windows.h>

#include "base/unique_handle.h"

namespace pl::ui::detail {

// Saves the device context's state (selected objects, colours, modes) and restores it at the end of the scope.
// Declare it after the pens and brushes it will see selected, so it restores before they are deleted.
class SavedDc {
 public:
  explicit SavedDc(HDC dc) noexcept : dc_(dc), saved_(SaveDC(dc)) {}
  ~SavedDc() {
    if (saved_ != 0) RestoreDC(dc_, saved_);
  }
  SavedDc(const SavedDc&) = delete;
  SavedDc& operator=(const SavedDc&) = delete;

 private:
  HDC dc_;
  int saved_;
};

inline base::UniqueGdiObject SolidPen(COLORREF colour, int width = 1) {
  return base::UniqueGdiObject(CreatePen(PS_SOLID, width, colour));
}

inline base::UniqueGdiObject SolidBrush(COLORREF colour) { return base::UniqueGdiObject(CreateSolidBrush(colour)); }

}  // namespace pl::ui::detail
