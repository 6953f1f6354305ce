#include "archive/wim_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace pl::archive {
namespace {

constexpr char kMagic[8] = {'M', 'S', 'W', 'I', 'M', 0, 0, 0};
constexpr char kPipableMagic[8] = {'W', 'L', 'P', 'W', 'M', 0, 0, 0};
constexpr uint32_t kVersionDefault = 0x10D00;
constexpr uint32_t kVersionSolid = 0xE00;

// Header fields: byte offsets.
constexpr size_t kHeaderSizeAt = 8;
constexpr size_t kVersionAt = 12;
constexpr size_t kFlagsAt = 16;
constexpr size_t kPartNumberAt = 40;
constexpr size_t kTotalPartsAt = 42;
constexpr size_t kImageCountAt = 44;
constexpr size_t kOffsetTableAt = 48;
constexpr size_t kXmlAt = 72;
constexpr size_t kBootMetadataAt = 96;
constexpr size_t kIntegrityAt = 124;

constexpr uint32_t kFlagCompression = 0x2;
constexpr uint32_t kFlagWriteInProgress = 0x40;
constexpr uint32_t kFlagXpress = 0x20000;
constexpr uint32_t kFlagLzx = 0x40000;
constexpr uint32_t kFlagLzms = 0x80000;

constexpr uint8_t kResourceCompressed = 0x04;
constexpr uint8_t kResourceSolid = 0x10;

// The XML of a WIM is a handful of levels deep; the bound keeps a hostile file from growing the element stack.
constexpr size_t kMaxXmlDepth = 64;

const char kNotWim[] = "不是 WIM/ESD 镜像文件";
const char kCutShort[] = "文件不完整（比文件头记录的短，可能下载或复制时被截断）";
const char kXmlPrefix[] = "映像信息（XML 数据）";

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Read32(const uint8_t* p) { return Read16(p) | (static_cast<uint32_t>(Read16(p + 2)) << 16); }
uint64_t Read64(const uint8_t* p) { return Read32(p) | (static_cast<uint64_t>(Read32(p + 4)) << 32); }

// Where a resource lies: 7 bytes of stored size and a flags byte, the offset, the original size.
struct ResourceHeader {
  uint64_t size = 0;
  uint8_t flags = 0;
  uint64_t offset = 0;
};

ResourceHeader ReadResourceHeader(const uint8_t* p) { return {Read64(p) & 0x00FFFFFFFFFFFFFFull, p[7], Read64(p + 8)}; }

bool FitsInFile(const ResourceHeader& resource, uint64_t fileSize) {
  return resource.size == 0 || (resource.offset <= fileSize && resource.size <= fileSize - resource.offset);
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::string CompressionName(uint32_t flags) {
  if (!(flags & kFlagCompression)) return "";
  if (flags & kFlagLzms) return "LZMS";
  if (flags & kFlagLzx) return "LZX";
  if (flags & kFlagXpress) return "XPRESS";
  return "";
}

bool IsSpace(uint32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// UTF-16LE to UTF-8, dropping a leading byte-order mark and trailing NULs; an unpaired surrogate becomes U+FFFD.
// False when the bytes cannot be UTF-16LE XML: an odd length, or a first character other than white space or '<'
// (UTF-8 or big-endian text read this way starts with a CJK or other unit).
bool DecodeUtf16Le(std::span<const uint8_t> bytes, std::string* text) {
  if (bytes.size() % 2 != 0) return false;
  auto unit = [&bytes](size_t i) { return Read16(bytes.data() + 2 * i); };
  size_t begin = 0;
  size_t end = bytes.size() / 2;
  if (end > 0 && unit(0) == 0xFEFF) begin = 1;
  while (end > begin && unit(end - 1) == 0) --end;
  size_t first = begin;
  while (first < end && IsSpace(unit(first))) ++first;
  if (first < end && unit(first) != '<') return false;

  text->reserve((end - begin) * 3 / 2);
  for (size_t i = begin; i < end; ++i) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < end && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(c, text);
  }
  return true;
}

// Appends `raw` with its entity references replaced: the five named ones and numeric ones. False on any other.
bool AppendDecoded(std::string_view raw, std::string* out) {
  size_t i = 0;
  while (i < raw.size()) {
    const size_t amp = raw.find('&', i);
    out->append(raw.substr(i, amp == std::string_view::npos ? std::string_view::npos : amp - i));
    if (amp == std::string_view::npos) return true;
    const size_t semi = raw.find(';', amp);
    if (semi == std::string_view::npos) return false;
    const std::string_view name = raw.substr(amp + 1, semi - amp - 1);
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    const auto named =
        std::find_if(std::begin(kNamed), std::end(kNamed), [name](const auto& entity) { return entity.first == name; });
    if (named != std::end(kNamed)) {
      out->push_back(named->second);
    } else if (name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      if (digits.empty()) return false;
      uint32_t value = 0;
      for (char d : digits) {
        int digit;
        if (d >= '0' && d <= '9') {
          digit = d - '0';
        } else if (hex && d >= 'a' && d <= 'f') {
          digit = d - 'a' + 10;
        } else if (hex && d >= 'A' && d <= 'F') {
          digit = d - 'A' + 10;
        } else {
          return false;
        }
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
        if (value > 0x10FFFF) return false;
      }
      if (value == 0 || (value >= 0xD800 && value <= 0xDFFF)) return false;
      AppendUtf8(value, out);
    } else {
      return false;
    }
    i = semi + 1;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && IsSpace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

struct Attribute {
  std::string_view name;
  std::string value;
};

// The elements of one IMAGE that the list uses, as written.
struct RawImage {
  std::string index;  // empty when the attribute is missing
  std::string name;
  std::string displayName;
  std::string flags;
  std::string editionId;
  std::string arch;
  std::string build;
  std::string spBuild;
};

// Element paths below WIM/IMAGE and where their text goes.
constexpr std::pair<std::string_view, std::string RawImage::*> kImageFields[] = {
    {"NAME", &RawImage::name},
    {"DISPLAYNAME", &RawImage::displayName},
    {"FLAGS", &RawImage::flags},
    {"WINDOWS/EDITIONID", &RawImage::editionId},
    {"WINDOWS/ARCH", &RawImage::arch},
    {"WINDOWS/VERSION/BUILD", &RawImage::build},
    {"WINDOWS/VERSION/SPBUILD", &RawImage::spBuild},
};

// Collects the IMAGE elements of the WIM root from the walker's events.
class ImageCollector {
 public:
  // `path` holds the open elements, outermost first; the new one is last.
  bool Open(const std::vector<std::string_view>& path, const std::vector<Attribute>& attributes, std::string* reason) {
    if (path.size() == 1 && path[0] != "WIM") {
      *reason = "根元素不是 WIM";
      return false;
    }
    // An encrypted ESD carries its key wrapped in WIM/ESD/ENCRYPTED; without that key nothing can apply it.
    if (path.size() == 3 && path[1] == "ESD" && path[2] == "ENCRYPTED") encrypted = true;
    if (path.size() == 2 && path[1] == "IMAGE") {
      RawImage& image = images.emplace_back();
      for (const Attribute& attribute : attributes) {
        if (attribute.name == "INDEX") image.index = attribute.value;
      }
    }
    return true;
  }

  void Close(const std::vector<std::string_view>& path, std::string_view text) {
    if (path.size() < 3 || path[1] != "IMAGE") return;
    std::string relative(path[2]);
    for (size_t i = 3; i < path.size(); ++i) relative.append("/").append(path[i]);
    for (const auto& [field, member] : kImageFields) {
      if (relative == field) images.back().*member = std::string(Trim(text));
    }
  }

  std::vector<RawImage> images;
  bool encrypted = false;
};

// A streaming walk over the document: start and end tags reach the collector with the path of open elements and
// the element's own text. Comments, processing instructions and CDATA are understood; a DOCTYPE is refused, so
// no entity is ever defined by the file.
class XmlWalker {
 public:
  XmlWalker(std::string_view text, ImageCollector* collector) : text_(text), collector_(collector) {}

  // False with the reason (Chinese) in `*reason`.
  bool Walk(std::string* reason) {
    bool rootClosed = false;
    while (pos_ < text_.size()) {
      if (text_[pos_] != '<') {
        if (open_.empty()) {
          if (!IsSpace(static_cast<unsigned char>(text_[pos_]))) {
            return Fail(rootClosed ? "根元素之后还有内容" : "开头不是 XML 元素", reason);
          }
          ++pos_;
          continue;
        }
        const size_t end = std::min(text_.find('<', pos_), text_.size());
        if (!AppendDecoded(text_.substr(pos_, end - pos_), &texts_.back())) return Fail("无效的实体引用", reason);
        pos_ = end;
        continue;
      }
      const std::string_view rest = text_.substr(pos_);
      if (rest.starts_with("<!--")) {
        if (!SkipPast("-->")) return Fail("注释没有结束", reason);
      } else if (rest.starts_with("<?")) {
        if (!SkipPast("?>")) return Fail("处理指令没有结束", reason);
      } else if (rest.starts_with("<![CDATA[")) {
        if (open_.empty()) return Fail("CDATA 不在元素之内", reason);
        const size_t start = pos_ + 9;
        if (!SkipPast("]]>")) return Fail("CDATA 没有结束", reason);
        texts_.back().append(text_.substr(start, pos_ - 3 - start));
      } else if (rest.starts_with("<!")) {
        return Fail("不支持 DOCTYPE 等声明", reason);
      } else if (rest.starts_with("</")) {
        pos_ += 2;
        const std::string_view name = ReadName();
        SkipSpaces();
        if (!Take('>')) return Fail("结束标签格式错误", reason);
        if (open_.empty() || name != open_.back()) return Fail("结束标签不匹配", reason);
        CloseElement();
        rootClosed = open_.empty();
      } else {
        if (rootClosed) return Fail("根元素之后还有内容", reason);
        if (!StartElement(reason)) return false;
        rootClosed = open_.empty();
      }
    }
    if (!open_.empty()) return Fail("文档不完整（元素没有闭合）", reason);
    if (!rootClosed) return Fail("没有根元素", reason);
    return true;
  }

 private:
  bool Fail(const char* what, std::string* reason) {
    *reason = what;
    return false;
  }

  bool SkipPast(std::string_view end) {
    const size_t at = text_.find(end, pos_);
    if (at == std::string_view::npos) return false;
    pos_ = at + end.size();
    return true;
  }
  void SkipSpaces() {
    while (pos_ < text_.size() && IsSpace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  bool Take(char c) {
    if (pos_ >= text_.size() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  std::string_view ReadName() {
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsSpace(static_cast<unsigned char>(text_[pos_])) &&
           std::string_view("<>/=\"'&").find(text_[pos_]) == std::string_view::npos) {
      ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

  // From '<' of a start tag to its '>'.
  bool StartElement(std::string* reason) {
    ++pos_;
    const std::string_view name = ReadName();
    if (name.empty()) return Fail("标签格式错误", reason);
    std::vector<Attribute> attributes;
    bool selfClosing = false;
    while (true) {
      const size_t before = pos_;
      SkipSpaces();
      if (Take('>')) break;
      if (Take('/')) {
        if (!Take('>')) return Fail("标签格式错误", reason);
        selfClosing = true;
        break;
      }
      Attribute attribute;
      attribute.name = ReadName();
      if (pos_ == before || attribute.name.empty()) return Fail("属性格式错误", reason);
      SkipSpaces();
      if (!Take('=')) return Fail("属性格式错误", reason);
      SkipSpaces();
      if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) return Fail("属性格式错误", reason);
      const size_t close = text_.find(text_[pos_], pos_ + 1);
      if (close == std::string_view::npos) return Fail("属性格式错误", reason);
      const std::string_view raw = text_.substr(pos_ + 1, close - pos_ - 1);
      if (raw.find('<') != std::string_view::npos || !AppendDecoded(raw, &attribute.value)) {
        return Fail("属性格式错误", reason);
      }
      pos_ = close + 1;
      attributes.push_back(std::move(attribute));
    }
    if (open_.size() == kMaxXmlDepth) return Fail("元素嵌套过深", reason);
    open_.push_back(name);
    texts_.emplace_back();
    if (!collector_->Open(open_, attributes, reason)) return false;
    if (selfClosing) CloseElement();
    return true;
  }

  void CloseElement() {
    collector_->Close(open_, texts_.back());
    open_.pop_back();
    texts_.pop_back();
  }

  std::string_view text_;
  ImageCollector* collector_;
  size_t pos_ = 0;
  std::vector<std::string_view> open_;
  std::vector<std::string> texts_;  // each open element's own text, entities replaced
};

std::string ArchitectureName(const std::string& arch) {
  if (arch == "0") return "x86";
  if (arch == "5") return "arm";
  if (arch == "9") return "x64";
  if (arch == "12") return "arm64";
  return arch;
}

// 1 to `count` when `text` is a plain decimal number in that range, else 0.
int ParseIndex(const std::string& text, uint32_t count) {
  if (text.empty() || text.size() > 9) return 0;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value >= 1 && value <= count ? static_cast<int>(value) : 0;
}

// The images of the walked document, checked against the header's count.
bool BuildImageList(const std::vector<RawImage>& raw, uint32_t headerCount, std::vector<WimImage>* images,
                    std::string* error) {
  if (raw.empty()) {
    *error = "镜像中没有任何映像";
    return false;
  }
  if (raw.size() != headerCount) {
    *error = "映像数量不一致（文件头记录 " + std::to_string(headerCount) + " 个，XML 中有 " +
             std::to_string(raw.size()) + " 个）";
    return false;
  }
  std::vector<WimImage> list(raw.size());
  for (const RawImage& image : raw) {
    const int index = ParseIndex(image.index, headerCount);
    if (index == 0 || list[index - 1].index != 0) {
      *error = "映像信息中的序号无效（INDEX=\"" + image.index + "\"）";
      return false;
    }
    WimImage& out = list[index - 1];
    out.index = index;
    out.name = image.name.empty() ? image.displayName : image.name;
    out.editionId = image.editionId.empty() ? image.flags : image.editionId;
    out.architecture = ArchitectureName(image.arch);
    out.build = image.spBuild.empty() || image.build.empty() ? image.build : image.build + "." + image.spBuild;
  }
  *images = std::move(list);
  return true;
}

// The header checks, in the order a damaged file is best explained: what the file is, which kind, whether it
// was finished. `*resources` receives the resource headers: offset table, XML, boot metadata, integrity table.
bool ReadHeader(const WimSource& source, WimInfo* info, std::vector<ResourceHeader>* resources, std::string* error) {
  uint8_t header[kWimHeaderSize] = {};
  const size_t have = static_cast<size_t>(std::min<uint64_t>(source.size, kWimHeaderSize));
  if (have > 0 && !source.read(0, have, header, error)) return false;
  const size_t magicBytes = std::min<size_t>(have, sizeof kMagic);
  if (have >= sizeof kMagic && std::memcmp(header, kPipableMagic, sizeof kPipableMagic) == 0) {
    // Streamable WIMs are written and applied only by one third-party library; Windows' own deployment tools
    // cannot apply them.
    *error = "流式（pipable）WIM，Windows 的部署工具无法应用";
    return false;
  }
  if (std::memcmp(header, kMagic, magicBytes) != 0) {
    *error = kNotWim;
    return false;
  }
  if (have < kWimHeaderSize) {
    *error = "文件不完整（只有 " + std::to_string(have) + " 字节，不够 WIM 文件头的 208 字节）";
    return false;
  }
  const uint32_t headerSize = Read32(header + kHeaderSizeAt);
  if (headerSize != kWimHeaderSize) {
    *error = "不支持的 WIM 文件头大小（" + std::to_string(headerSize) + " 字节）";
    return false;
  }
  info->version = Read32(header + kVersionAt);
  info->flags = Read32(header + kFlagsAt);
  info->solid = info->version == kVersionSolid;
  info->compression = CompressionName(info->flags);
  info->partNumber = Read16(header + kPartNumberAt);
  info->totalParts = Read16(header + kTotalPartsAt);
  info->imageCount = Read32(header + kImageCountAt);
  if (info->version != kVersionDefault && info->version != kVersionSolid) {
    *error = "不支持的 WIM 版本（" + Hex(info->version) + "）";
    return false;
  }
  const std::string parts = std::to_string(info->partNumber) + "/" + std::to_string(info->totalParts);
  if (info->partNumber == 0 || info->partNumber > info->totalParts) {
    *error = "WIM 文件头已损坏（分卷编号 " + parts + "）";
    return false;
  }
  if (info->totalParts > 1) {
    *error = "分卷 WIM（第 " + parts + " 卷），不能单独应用";
    return false;
  }
  if (info->flags & kFlagWriteInProgress) {
    *error = "文件没有写完（文件头标记为正在写入，写入过程被中断）";
    return false;
  }
  for (size_t at : {kOffsetTableAt, kXmlAt, kBootMetadataAt, kIntegrityAt}) {
    resources->push_back(ReadResourceHeader(header + at));
  }
  return true;
}

}  // namespace

bool ReadWimImageList(const WimSource& source, WimInfo* info, std::string* error) {
  *info = WimInfo{};
  std::vector<ResourceHeader> resources;
  if (!ReadHeader(source, info, &resources, error)) return false;
  const ResourceHeader xml = resources[1];  // header order: offset table, XML, boot metadata, integrity table
  if (xml.size == 0) {
    *error = "缺少映像信息（XML 数据为空）";
    return false;
  }
  if (xml.flags & (kResourceCompressed | kResourceSolid)) {
    *error = std::string(kXmlPrefix) + "被标记为压缩，无法读取";
    return false;
  }
  if (xml.size > kMaxWimXmlBytes) {
    *error = std::string(kXmlPrefix) + "过大（" + std::to_string(xml.size) + " 字节）";
    return false;
  }
  for (const ResourceHeader& resource : resources) {
    if (!FitsInFile(resource, source.size)) {
      *error = kCutShort;
      return false;
    }
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(xml.size));
  if (!source.read(xml.offset, bytes.size(), bytes.data(), error)) return false;
  std::string text;
  if (!DecodeUtf16Le(bytes, &text)) {
    *error = std::string(kXmlPrefix) + "不是 UTF-16 文本";
    return false;
  }
  ImageCollector collector;
  std::string reason;
  if (!XmlWalker(text, &collector).Walk(&reason)) {
    *error = std::string(kXmlPrefix) + "无法解析：" + reason;
    return false;
  }
  if (collector.encrypted) {
    *error = "加密的 ESD 镜像（没有解密密钥），Windows 的部署工具无法应用";
    return false;
  }
  return BuildImageList(collector.images, info->imageCount, &info->images, error);
}

WimSource MemoryWimSource(std::span<const uint8_t> bytes) {
  WimSource source;
  source.size = bytes.size();
  source.read = [bytes](uint64_t offset, size_t length, uint8_t* buffer, std::string*) {
    std::memcpy(buffer, bytes.data() + offset, length);
    return true;
  };
  return source;
}

const WimImage* FindWimImage(const WimInfo& info, int index) {
  for (const WimImage& image : info.images) {
    if (image.index == index) return &image;
  }
  return nullptr;
}

std::string WimImageIndexes(const WimInfo& info) {
  std::string text;
  for (const WimImage& image : info.images) {
    if (!text.empty()) text += ", ";
    text += std::to_string(image.index);
  }
  return text;
}

}  // namespace pl::archive
