// The seven line icons of the step bar and the environment page. Each is laid out on a unit square centred on the
// icon's centre (coordinates -0.5 to 0.5, y downwards) and stroked with one geometric pen of a tenth of its size.

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>
#include <vector>

#include "ui/theme.h"
#include "ui/theme_gdi.h"

namespace pl::ui {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct IconCanvas {
  HDC dc;
  POINT centre;
  int size;

  POINT At(double x, double y) const {
    return {centre.x + static_cast<LONG>(std::lround(x * size)), centre.y + static_cast<LONG>(std::lround(y * size))};
  }
  int Length(double units) const { return static_cast<int>(std::lround(units * size)); }

  void Lines(std::initializer_list<POINT> points) const {
    const std::vector<POINT> list(points);
    Polyline(dc, list.data(), static_cast<int>(list.size()));
  }
  void Outline(std::initializer_list<POINT> points) const {  // closed, hollow
    const std::vector<POINT> list(points);
    Polygon(dc, list.data(), static_cast<int>(list.size()));
  }
  void Box(double left, double top, double right, double bottom, double corner) const {  // hollow
    const POINT a = At(left, top), b = At(right, bottom);
    const int round = Length(corner);
    RoundRect(dc, a.x, a.y, b.x, b.y, round, round);
  }
  void Oval(double left, double top, double right, double bottom) const {  // hollow
    const POINT a = At(left, top), b = At(right, bottom);
    Ellipse(dc, a.x, a.y, b.x, b.y);
  }
  void Circle(double x, double y, double radius) const { Oval(x - radius, y - radius, x + radius, y + radius); }
  void Dot(double x, double y, double radius, HBRUSH fill) const {  // filled in the stroke colour
    const HGDIOBJ old = SelectObject(dc, fill);
    Circle(x, y, radius);
    SelectObject(dc, old);
  }
  void Check(double x, double y, double scale) const {  // a check mark whose corner sits at (x, y)
    Lines({At(x - 0.13 * scale, y - 0.13 * scale), At(x, y), At(x + 0.24 * scale, y - 0.26 * scale)});
  }
  // An arc of the circle of `radius` around the centre from one angle to another (degrees, counter-clockwise as
  // seen on screen) with an arrow head at its end.
  void CircularArrow(double radius, double fromDegrees, double toDegrees) const {
    const auto on = [&](double degrees) {
      const double angle = degrees * kPi / 180.0;
      return std::pair<double, double>{radius * std::cos(angle), -radius * std::sin(angle)};
    };
    const auto [x0, y0] = on(fromDegrees);
    const auto [x1, y1] = on(toDegrees);
    const POINT a = At(-radius, -radius), b = At(radius, radius), start = At(x0, y0), end = At(x1, y1);
    SetArcDirection(dc, AD_COUNTERCLOCKWISE);
    Arc(dc, a.x, a.y, b.x, b.y, start.x, start.y, end.x, end.y);
    // Direction of travel at the end (counter-clockwise on screen), and the head's two barbs behind it.
    const double angle = toDegrees * kPi / 180.0;
    const double tx = -std::sin(angle), ty = -std::cos(angle);
    constexpr double kBarb = 0.14, kSpread = 0.6;
    for (double turn : {kSpread, -kSpread}) {
      const double bx = -(tx * std::cos(turn) - ty * std::sin(turn));
      const double by = -(tx * std::sin(turn) + ty * std::cos(turn));
      Lines({At(x1 + bx * kBarb, y1 + by * kBarb), end});
    }
  }
};

void UsbStick(const IconCanvas& c, HBRUSH fill) {
  c.Box(-0.14, -0.46, 0.14, -0.2, 0);
  c.Box(-0.24, -0.2, 0.24, 0.46, 0.14);
  c.Dot(-0.055, -0.34, 0.025, fill);
  c.Dot(0.055, -0.34, 0.025, fill);
}

void DiskWithArrows(const IconCanvas& c) {
  c.Oval(-0.16, -0.22, 0.16, -0.08);  // the cylinder's top face
  c.Lines({c.At(-0.16, -0.15), c.At(-0.16, 0.15)});
  c.Lines({c.At(0.16, -0.15), c.At(0.16, 0.15)});
  const POINT a = c.At(-0.16, 0.08), b = c.At(0.16, 0.22), left = c.At(-0.16, 0.15), right = c.At(0.16, 0.15);
  SetArcDirection(c.dc, AD_COUNTERCLOCKWISE);
  Arc(c.dc, a.x, a.y, b.x, b.y, left.x, left.y, right.x, right.y);  // the lower rim
  c.CircularArrow(0.44, 30, 150);
  c.CircularArrow(0.44, 210, 330);
}

void Shield(const IconCanvas& c) {
  c.Outline({c.At(0, -0.44), c.At(0.36, -0.3), c.At(0.34, 0.06), c.At(0.2, 0.3), c.At(0, 0.44), c.At(-0.2, 0.3),
             c.At(-0.34, 0.06), c.At(-0.36, -0.3)});
  c.Check(-0.04, 0.12, 1.0);
}

void WindowWithCheck(const IconCanvas& c) {
  c.Box(-0.44, -0.36, 0.44, 0.36, 0.08);
  c.Lines({c.At(-0.44, -0.16), c.At(0.44, -0.16)});
  c.Check(-0.04, 0.2, 0.9);
}

void ListBox(const IconCanvas& c, HBRUSH fill) {
  c.Box(-0.42, -0.4, 0.42, 0.4, 0.1);
  for (double y : {-0.18, 0.0, 0.18}) {
    c.Dot(-0.22, y, 0.03, fill);
    c.Lines({c.At(-0.08, y), c.At(0.26, y)});
  }
}

void ArrowIntoTray(const IconCanvas& c) {
  c.Lines({c.At(0, -0.44), c.At(0, 0.14)});
  c.Lines({c.At(-0.17, -0.03), c.At(0, 0.14), c.At(0.17, -0.03)});
  c.Lines({c.At(-0.42, 0.06), c.At(-0.42, 0.4), c.At(0.42, 0.4), c.At(0.42, 0.06)});
}

void CircleWithCheck(const IconCanvas& c) {
  c.Circle(0, 0, 0.42);
  c.Check(-0.05, 0.13, 1.0);
}

}  // namespace

void DrawLineIcon(HDC dc, int number, POINT centre, int size, COLORREF colour) {
  if (size <= 0) return;
  LOGBRUSH stroke{BS_SOLID, colour, 0};
  const base::UniqueGdiObject pen(ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_ROUND,
                                               std::max(1, size / 10), &stroke, 0, nullptr));
  const auto fill = detail::SolidBrush(colour);
  detail::SavedDc saved(dc);
  SelectObject(dc, pen.get());
  SelectObject(dc, GetStockObject(NULL_BRUSH));
  const IconCanvas canvas{dc, centre, size};
  const auto brush = static_cast<HBRUSH>(fill.get());
  switch (number) {
    case 1: UsbStick(canvas, brush); break;
    case 2: DiskWithArrows(canvas); break;
    case 3: Shield(canvas); break;
    case 4: WindowWithCheck(canvas); break;
    case 5: ListBox(canvas, brush); break;
    case 6: ArrowIntoTray(canvas); break;
    case 7: CircleWithCheck(canvas); break;
    default: break;
  }
}

}  // namespace pl::ui
