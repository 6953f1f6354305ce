#include "test_data.h"

#include <zlib.h>

#include <stdexcept>

namespace pl::archive::test {

std::string TextLike(uint64_t seed, size_t size) {
  static const char* const kWords[] = {"the",    "disk",  "volume", "staging", "partition", "boot",  "image",
                                       "driver", "tools", "zip",    "entry",   "inflate",   "block", "window",
                                       "解压",   "工具包", "分区",   "下载",    "\t",        "    ",  "0x1F"};
  Random random(seed);
  std::string text;
  while (text.size() < size) {
    text += kWords[random.Below(sizeof(kWords) / sizeof(kWords[0]))];
    const uint32_t r = random.Below(16);
    text += r == 0 ? "\r\n" : r == 1 ? ", " : " ";
    if (r == 2) text += std::to_string(random.Below(100000));
  }
  text.resize(size);
  return text;
}

std::string BinaryLike(uint64_t seed, size_t size) {
  Random random(seed);
  std::string data;
  while (data.size() < size) {
    switch (random.Below(4)) {
      case 0:  // a little-endian record of small numbers
        for (int i = 0; i < 4; ++i) {
          const uint32_t v = random.Below(512);
          data.push_back(static_cast<char>(v & 0xff));
          data.push_back(static_cast<char>(v >> 8));
          data.append(2, '\0');
        }
        break;
      case 1:  // a repeated instruction-like pattern
        data.append("\x48\x8b\x45\xf8\x48\x89\xc7\xe8", 8);
        data.push_back(static_cast<char>(random.Below(256)));
        break;
      case 2:
        data.append(random.Below(40), '\0');
        break;
      default:
        data.push_back(static_cast<char>(random.Below(256)));
        break;
    }
  }
  data.resize(size);
  return data;
}

std::string RandomBytes(uint64_t seed, size_t size) {
  Random random(seed);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random.Next() >> 56);
  return data;
}

std::vector<uint8_t> ZlibDeflateRaw(const std::string& data, int level, int strategy, int windowBits, int memLevel) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -windowBits, memLevel, strategy) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(data.size())) + 16);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

}  // namespace pl::archive::test
