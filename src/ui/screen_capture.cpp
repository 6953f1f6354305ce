#include "ui/screen_capture.h"

#include <windows.h>
#include <gdiplus.h>
#include <objidl.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/unique_handle.h"
#include "log/log.h"

namespace pl::ui {
namespace {

// The desktop's pixels from its own top left corner, which lies left of or above the primary monitor when another
// monitor is there. Layered windows are included. Empty when a GDI object could not be made or the copy failed.
base::UniqueGdiObject CopyDesktop(const DesktopRect& desktop) {
  base::UniqueScreenDc screen(GetDC(nullptr));
  if (!screen) return {};
  base::UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
  if (!memory) return {};
  base::UniqueGdiObject bitmap(CreateCompatibleBitmap(screen.get(), desktop.width, desktop.height));
  if (!bitmap) return {};
  HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
  const BOOL copied = BitBlt(memory.get(), 0, 0, desktop.width, desktop.height, screen.get(), desktop.left,
                             desktop.top, SRCCOPY | CAPTUREBLT);
  SelectObject(memory.get(), previous);
  if (!copied) {
    log::LogWarn("[ScreenCapture] BitBlt 失败");
    return {};
  }
  return bitmap;
}

bool FindPngEncoder(CLSID* encoder) {
  UINT count = 0;
  UINT size = 0;
  if (Gdiplus::GetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0) return false;
  const auto buffer = std::make_unique<unsigned char[]>(size);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.get());
  if (Gdiplus::GetImageEncoders(count, size, codecs) != Gdiplus::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (codecs[i].MimeType != nullptr && std::wcscmp(codecs[i].MimeType, L"image/png") == 0) {
      *encoder = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

// The stream's bytes: its block may be larger than what was written, so the stream's own size counts.
std::string StreamBytes(IStream* stream) {
  HGLOBAL block = nullptr;
  STATSTG stat{};
  if (FAILED(GetHGlobalFromStream(stream, &block)) || FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return {};
  const void* bytes = GlobalLock(block);
  if (bytes == nullptr) return {};
  const SIZE_T size = std::min<SIZE_T>(GlobalSize(block), static_cast<SIZE_T>(stat.cbSize.QuadPart));
  std::string png(static_cast<const char*>(bytes), size);
  GlobalUnlock(block);
  return png;
}

// GDI+ must be up; every GDI+ object is gone when this returns.
std::string EncodePng(HBITMAP bitmap) {
  Gdiplus::Bitmap picture(bitmap, nullptr);
  CLSID encoder{};
  base::UniqueCom<IStream> stream;
  if (picture.GetLastStatus() != Gdiplus::Ok || !FindPngEncoder(&encoder) ||
      FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) {
    log::LogWarn("[ScreenCapture] 创建 GDI+ Bitmap/PNG 编码器/内存流失败");
    return {};
  }
  if (picture.Save(stream.get(), &encoder, nullptr) != Gdiplus::Ok) {
    log::LogWarn("[ScreenCapture] Bitmap::Save 编码 PNG 失败");
    return {};
  }
  return StreamBytes(stream.get());
}

std::string Base64WithoutLineBreaks(const std::string& bytes) {
  if (bytes.empty()) return {};
  const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
  const auto size = static_cast<DWORD>(bytes.size());
  constexpr DWORD kFlags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD length = 0;
  if (!CryptBinaryToStringA(data, size, kFlags, nullptr, &length) || length == 0) return {};
  std::string text(length, '\0');
  if (!CryptBinaryToStringA(data, size, kFlags, text.data(), &length)) return {};
  text.resize(length);  // the second call counts the characters without the terminating zero
  return text;
}

}  // namespace

DesktopRect VirtualDesktop() {
  return {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
          GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

std::string CaptureScreenPngBase64() { return CaptureAreaPngBase64(VirtualDesktop()); }

std::string CaptureAreaPngBase64(const DesktopRect& desktop) {
  if (desktop.width < 1 || desktop.height < 1) {
    log::LogWarn("[ScreenCapture] 虚拟桌面尺寸异常，取消截图");
    return {};
  }
  const base::UniqueGdiObject bitmap = CopyDesktop(desktop);
  if (!bitmap) return {};

  // Started for this call alone, so the capture never depends on who else started GDI+ or when they stop it.
  Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) {
    log::LogWarn("[ScreenCapture] GdiplusStartup 失败");
    return {};
  }
  const std::string png = EncodePng(static_cast<HBITMAP>(bitmap.get()));
  Gdiplus::GdiplusShutdown(token);
  return Base64WithoutLineBreaks(png);
}

}  // namespace pl::ui
