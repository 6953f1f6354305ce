#include "zip_builder.h"

#include <zlib.h>

#include "test_data.h"

namespace pl::archive::test {
namespace {

void Put16(std::string* out, uint32_t v) {
  out->push_back(static_cast<char>(v & 0xff));
  out->push_back(static_cast<char>((v >> 8) & 0xff));
}
void Put32(std::string* out, uint32_t v) {
  Put16(out, v & 0xffff);
  Put16(out, v >> 16);
}

}  // namespace

std::string ZipBuilder::Build() const {
  std::string zip, directory;
  for (const ZipBuilderEntry& e : entries) {
    std::string payload;
    if (e.payload) {
      payload = *e.payload;
    } else if (e.method == 8) {
      payload = Text(ZlibDeflateRaw(e.data, 9));
    } else {
      payload = e.data;
    }
    const uint32_t compressed = e.compressedSize.value_or(static_cast<uint32_t>(payload.size()));
    const uint32_t uncompressed = e.uncompressedSize.value_or(static_cast<uint32_t>(e.data.size()));
    const uint32_t offset = static_cast<uint32_t>(zip.size());
    const uint32_t crc = e.crc.value_or(static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()))));

    Put32(&zip, e.localSignature);
    Put16(&zip, 20);  // version needed
    Put16(&zip, e.flags);
    Put16(&zip, e.method);
    Put32(&zip, 0);  // time and date
    Put32(&zip, crc);
    Put32(&zip, compressed);
    Put32(&zip, uncompressed);
    Put16(&zip, static_cast<uint32_t>(e.name.size()));
    Put16(&zip, static_cast<uint32_t>(e.localExtra.size()));
    zip += e.name + e.localExtra + payload;

    Put32(&directory, e.centralSignature);
    Put16(&directory, 20);  // version made by
    Put16(&directory, 20);  // version needed
    Put16(&directory, e.flags);
    Put16(&directory, e.method);
    Put32(&directory, 0);  // time and date
    Put32(&directory, crc);
    Put32(&directory, compressed);
    Put32(&directory, uncompressed);
    Put16(&directory, e.centralNameLength.value_or(static_cast<uint16_t>(e.name.size())));
    Put16(&directory, static_cast<uint32_t>(e.centralExtra.size()));
    Put16(&directory, static_cast<uint32_t>(e.comment.size()));
    Put16(&directory, 0);  // disk
    Put16(&directory, 0);  // internal attributes
    Put32(&directory, 0);  // external attributes
    Put32(&directory, e.localHeaderOffset.value_or(offset));
    directory += e.name + e.centralExtra + e.comment;
  }
  const uint32_t start = static_cast<uint32_t>(zip.size());
  zip += directory;
  Put32(&zip, 0x06054b50);
  Put16(&zip, 0);
  Put16(&zip, 0);
  Put16(&zip, entryCount.value_or(static_cast<uint16_t>(entries.size())));
  Put16(&zip, entryCount.value_or(static_cast<uint16_t>(entries.size())));
  Put32(&zip, directorySize.value_or(static_cast<uint32_t>(directory.size())));
  Put32(&zip, directoryOffset.value_or(start));
  Put16(&zip, static_cast<uint32_t>(comment.size()));
  zip += comment;
  return zip;
}

}  // namespace pl::archive::test
