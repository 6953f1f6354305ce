// Speed of the program's inflate decoder against zlib's, and of zip extraction against Info-ZIP unzip, in one run.
// Native build (bench/run.sh); the decoder and the zip reader are the same sources the program uses.
//
// Corpus: about 64 MiB of this machine's own files in three kinds: text (C headers), executables (programs and
// shared libraries) and already-compressed data (gzip'd manual pages), each deflated by zlib at level 6.
//
// Times are CPU time (user + system, of this process or of the unzip it starts), so that other work on a busy
// machine skews the comparison less than wall time would.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "archive/crc32.h"
#include "archive/inflate.h"
#include "archive/zip_reader.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Regular files below `roots` accepted by `take`, in sorted order, until `budget` bytes; every file's bytes
// appended to `out` (files larger than 4 MiB are passed over, so no single file dominates).
void Gather(const std::vector<std::string>& roots, const std::function<bool(const fs::path&)>& take, size_t budget,
            std::vector<uint8_t>* out, std::vector<fs::path>* files = nullptr) {
  std::vector<fs::path> paths;
  for (const std::string& root : roots) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (it->is_symlink() || !it->is_regular_file()) continue;
      if (it->file_size() > (4u << 20) || !take(it->path())) continue;
      paths.push_back(it->path());
    }
  }
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) {
    if (out->size() >= budget) break;
    const auto bytes = ReadFile(path);
    out->insert(out->end(), bytes.begin(), bytes.end());
    if (files) files->push_back(path);
  }
  if (out->size() > budget) out->resize(budget);
}

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& data) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> out(deflateBound(&s, data.size()));
  s.next_in = const_cast<Bytef*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

bool ZlibInflate(const std::vector<uint8_t>& stream, std::vector<uint8_t>* out) {
  z_stream s{};
  inflateInit2(&s, -15);
  s.next_in = const_cast<Bytef*>(stream.data());
  s.avail_in = static_cast<uInt>(stream.size());
  s.next_out = out->data();
  s.avail_out = static_cast<uInt>(out->size());
  const int result = inflate(&s, Z_FINISH);
  inflateEnd(&s);
  return result == Z_STREAM_END;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User and system time of this process and of the children it waited for.
double CpuSeconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    getrusage(who, &usage);
    for (const timeval& t : {usage.ru_utime, usage.ru_stime}) total += t.tv_sec + t.tv_usec * 1e-6;
  }
  return total;
}

// Best of `rounds` runs, in CPU seconds.
double Best(int rounds, const std::function<bool()>& run) {
  double best = 1e30;
  for (int i = 0; i < rounds; ++i) {
    const double start = CpuSeconds();
    if (!run()) {
      std::fprintf(stderr, "a decoder failed\n");
      std::exit(1);
    }
    best = std::min(best, CpuSeconds() - start);
  }
  return best;
}

struct Kind {
  const char* name;
  std::vector<uint8_t> data;
  std::vector<uint8_t> stream;
};

void InflateBenchmark() {
  std::vector<Kind> kinds(3);
  kinds[0].name = "text";
  kinds[1].name = "executables";
  kinds[2].name = "compressed";
  Gather({"/usr/include", "/usr/share/mingw-w64/include"},
         [](const fs::path& p) { return p.extension() == ".h"; }, 24u << 20, &kinds[0].data);
  Gather({"/usr/bin", "/usr/lib/x86_64-linux-gnu"},
         [](const fs::path& p) {
           std::ifstream in(p, std::ios::binary);
           char magic[4] = {};
           in.read(magic, 4);
           return magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
         },
         24u << 20, &kinds[1].data);
  Gather({"/usr/share/man", "/usr/share/doc"}, [](const fs::path& p) { return p.extension() == ".gz"; }, 16u << 20,
         &kinds[2].data);

  std::printf("Inflate: the program's decoder against zlib %s (raw deflate, zlib level 6, best of 5)\n", zlibVersion());
  std::printf("ours: into one vector; streamed: through the 160 KiB window into a buffer, as extraction writes\n");
  std::printf("%-12s %9s %9s %12s %14s %12s %7s %9s\n", "corpus", "MiB", "deflated", "ours MiB/s", "streamed MiB/s",
              "zlib MiB/s", "ratio", "streamed");
  double oursTotal = 0, streamedTotal = 0, zlibTotal = 0, mib = 0;
  for (Kind& kind : kinds) {
    kind.stream = Deflate(kind.data);
    std::vector<uint8_t> ours, streamed(kind.data.size()), theirs(kind.data.size());
    const double oursTime = Best(5, [&] {
      ours.clear();
      ours.shrink_to_fit();
      ours.reserve(kind.data.size());
      return pl::archive::Inflate(kind.stream, &ours, kind.data.size()) == pl::archive::InflateStatus::Ok;
    });
    const double zlibTime = Best(5, [&] { return ZlibInflate(kind.stream, &theirs); });
    const double streamedTime = Best(5, [&] {
      size_t at = 0;
      const auto sink = [&](std::span<const uint8_t> chunk) {
        std::memcpy(streamed.data() + at, chunk.data(), chunk.size());
        at += chunk.size();
        return true;
      };
      return pl::archive::InflateTo(kind.stream, sink, kind.data.size()) == pl::archive::InflateStatus::Ok;
    });
    if (ours != kind.data || streamed != kind.data || theirs != kind.data) {
      std::fprintf(stderr, "%s: output differs from the input\n", kind.name);
      std::exit(1);
    }
    const double size = kind.data.size() / 1048576.0;
    std::printf("%-12s %9.1f %9.1f %12.0f %14.0f %12.0f %7.2f %9.2f\n", kind.name, size,
                kind.stream.size() / 1048576.0, size / oursTime, size / streamedTime, size / zlibTime,
                zlibTime / oursTime, zlibTime / streamedTime);
    oursTotal += oursTime;
    streamedTotal += streamedTime;
    zlibTotal += zlibTime;
    mib += size;
  }
  std::printf("%-12s %9.1f %9s %12.0f %14.0f %12.0f %7.2f %9.2f\n", "all", mib, "", mib / oursTotal,
              mib / streamedTotal, mib / zlibTotal, zlibTotal / oursTotal, zlibTotal / streamedTotal);

  // Extraction checks every entry's CRC-32 as well.
  uint32_t oursCrc = 0;
  uLong zlibCrc = 0;
  const double oursCrcTime = Best(5, [&] {
    for (const Kind& kind : kinds) oursCrc = pl::archive::Crc32(kind.data);
    return true;
  });
  const double zlibCrcTime = Best(5, [&] {
    for (const Kind& kind : kinds) zlibCrc = crc32(0, kind.data.data(), static_cast<uInt>(kind.data.size()));
    return true;
  });
  if (oursCrc != zlibCrc) {
    std::fprintf(stderr, "CRC-32 differs from zlib's\n");
    std::exit(1);
  }
  std::printf("CRC-32 (slice-by-8) %.0f MiB/s, zlib's %.0f MiB/s\n", mib / oursCrcTime, mib / zlibCrcTime);
}

// Extraction as the program does it (whole archive in memory, each entry checked, then decoded again straight into
// its file), against `unzip -q -o`, on a tools-like archive made with Info-ZIP zip.
void ExtractionBenchmark() {
  const fs::path work = fs::temp_directory_path() / ("pl_bench_" + std::to_string(::getpid()));
  fs::remove_all(work);
  const fs::path tree = work / "tools";
  std::vector<uint8_t> ignored;
  std::vector<fs::path> programs, docs;
  Gather({"/usr/bin"}, [](const fs::path&) { return true; }, 40u << 20, &ignored, &programs);
  ignored.clear();
  Gather({"/usr/share/doc"}, [](const fs::path& p) { return p.extension() != ".gz"; }, 8u << 20, &ignored, &docs);
  size_t index = 0;
  for (const auto* list : {&programs, &docs}) {
    for (const fs::path& file : *list) {
      // Spread over a few folders, as a tools package is.
      const fs::path to = tree / (list == &programs ? "bin" : "doc") / std::to_string(index++ % 7) / file.filename();
      fs::create_directories(to.parent_path());
      fs::copy_file(file, to, fs::copy_options::overwrite_existing);
    }
  }
  const fs::path archive = work / "tools.zip";
  const std::string zipCommand = "cd '" + work.string() + "' && zip -q -r tools.zip tools";
  if (std::system(zipCommand.c_str()) != 0) {
    std::fprintf(stderr, "zip failed\n");
    std::exit(1);
  }

  const fs::path oursOut = work / "ours", unzipOut = work / "unzip";
  int written = 0;
  const double oursTime = Best(3, [&] {
    fs::remove_all(oursOut);
    const auto bytes = ReadFile(archive);
    pl::archive::ExtractTarget target;
    target.destination = oursOut.string();
    target.createDirectoryTree = [&](const std::string& relative) {
      std::string r = relative;
      std::replace(r.begin(), r.end(), '\\', '/');
      fs::create_directories(oursOut / r);
    };
    target.writeFile = [&](const std::string& relative, const pl::archive::EntryContent& content) {
      std::string r = relative;
      std::replace(r.begin(), r.end(), '\\', '/');
      const fs::path path = oursOut / r;
      fs::create_directories(path.parent_path());
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (!f) return pl::archive::WriteResult::OpenFailed;
      bool ok = true;
      content([&](std::span<const uint8_t> chunk) {
        ok = std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size();
        return ok;
      });
      return std::fclose(f) == 0 && ok ? pl::archive::WriteResult::Written : pl::archive::WriteResult::WriteFailed;
    };
    target.logInfo = [](const std::string&) {};
    target.logWarn = [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); };
    pl::archive::ExtractCounts counts;
    std::string error;
    const bool ok = pl::archive::ExtractArchive(bytes, target, &error, &counts);
    written = counts.written;
    return ok && counts.skipped == 0;
  });
  const std::string unzipCommand = "unzip -q -o '" + archive.string() + "' -d '" + unzipOut.string() + "'";
  const double unzipTime = Best(3, [&] {
    fs::remove_all(unzipOut);
    return std::system(unzipCommand.c_str()) == 0;
  });
  const std::string compare = "diff -r -q '" + (oursOut / "tools").string() + "' '" + (unzipOut / "tools").string() + "'";
  const bool same = std::system(compare.c_str()) == 0;

  std::printf("\nExtraction of a tools-like archive (%d files, %.1f MiB zip, made by Info-ZIP zip), best of 3\n",
              written, fs::file_size(archive) / 1048576.0);
  std::printf("ours %.3f s, unzip %.3f s, ratio (unzip time / ours) %.2f, trees %s\n", oursTime, unzipTime,
              unzipTime / oursTime, same ? "identical" : "DIFFER");
  fs::remove_all(work);
  if (!same) std::exit(1);
}

// A size line of /proc/self/status ("VmRSS:", "VmHWM:") in MiB.
double StatusMiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::strtod(line.c_str() + field.size(), nullptr) / 1024.0;
  }
  return -1;
}

// Peak memory of extracting one 1 GiB entry (log-like lines, deflated to a few MiB) into a target that discards
// the bytes, measured in a child process of its own: what extraction adds beyond the archive itself.
void PeakMemoryBenchmark() {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child != 0) {
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::exit(1);
    return;
  }
  constexpr uint64_t kEntry = 1ull << 30;
  std::string line;
  std::vector<uint8_t> stream(64u << 20);
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  s.next_out = stream.data();
  s.avail_out = static_cast<uInt>(stream.size());
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t done = 0, n = 0; done < kEntry; ++n) {
    // 400 different lines over and over: within reach of deflate's matches, so the stream stays small.
    line = "line " + std::to_string(n % 400) + " of a large log, " + std::to_string(n % 400 * 2654435761u % 1000003) + "\n";
    if (line.size() > kEntry - done) line.resize(kEntry - done);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(line.data()), static_cast<uInt>(line.size()));
    s.next_in = reinterpret_cast<Bytef*>(line.data());
    s.avail_in = static_cast<uInt>(line.size());
    deflate(&s, Z_NO_FLUSH);
    done += line.size();
  }
  if (deflate(&s, Z_FINISH) != Z_STREAM_END || s.avail_in != 0) {
    std::fprintf(stderr, "the 1 GiB entry does not fit the stream buffer\n");
    std::exit(1);
  }
  stream.resize(s.total_out);
  deflateEnd(&s);
  // One entry, written by hand: local header, data, central record, end record.
  std::vector<uint8_t> zip;
  auto put = [&zip](std::initializer_list<std::pair<uint64_t, int>> fields) {  // value, size in bytes
    for (const auto& [value, bytes] : fields) {
      for (int i = 0; i < bytes; ++i) zip.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
  };
  const std::string name = "big.log";
  // From "version needed" through the name length, the two headers hold the same fields.
  const std::initializer_list<std::pair<uint64_t, int>> shared = {
      {20, 2}, {0, 2}, {8, 2}, {0, 4}, {crc, 4}, {stream.size(), 4}, {kEntry, 4}, {name.size(), 2}};
  put({{0x04034b50, 4}});
  put(shared);
  put({{0, 2}});  // extra length
  zip.insert(zip.end(), name.begin(), name.end());
  zip.insert(zip.end(), stream.begin(), stream.end());
  const size_t directory = zip.size();
  put({{0x02014b50, 4}, {20, 2}});
  put(shared);
  put({{0, 2}, {0, 2}, {0, 2}, {0, 2}, {0, 4}, {0, 4}});  // extra, comment, disk, attributes, local header at 0
  zip.insert(zip.end(), name.begin(), name.end());
  put({{0x06054b50, 4}, {0, 4}, {1, 2}, {1, 2}, {zip.size() - directory, 4}, {directory, 4}, {0, 2}});
  std::vector<uint8_t>().swap(stream);

  // Linux: "5" resets the peak resident size (VmHWM), so the peak read afterwards is the extraction's own.
  std::ofstream("/proc/self/clear_refs") << "5";
  const double before = StatusMiB("VmRSS:");
  uint64_t written = 0;
  pl::archive::ExtractTarget target;
  target.createDirectoryTree = [](const std::string&) {};
  target.writeFile = [&](const std::string&, const pl::archive::EntryContent& content) {
    content([&](std::span<const uint8_t> chunk) {
      written += chunk.size();
      return true;
    });
    return pl::archive::WriteResult::Written;
  };
  target.logInfo = [](const std::string&) {};
  target.logWarn = [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); };
  std::string error;
  const auto start = Clock::now();
  const bool ok = pl::archive::ExtractArchive(zip, target, &error);
  const double seconds = Seconds(Clock::now() - start);
  std::printf("\nOne 1 GiB entry (%.1f MiB zip): %s in %.2f s; resident %.1f MiB before, peak %.1f MiB during it\n",
              zip.size() / 1048576.0, ok && written == kEntry ? "extracted" : "FAILED", seconds, before,
              StatusMiB("VmHWM:"));
  std::exit(ok && written == kEntry ? 0 : 1);
}

}  // namespace

int main() {
  InflateBenchmark();
  ExtractionBenchmark();
  PeakMemoryBenchmark();
  return 0;
}
