#include "net/download.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include <gtest/gtest.h>

#include "base/process_start.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "base/unique_handle.h"
#include "net/part_map.h"
#include "net/ranged_download.h"
#include "devserver_client.h"
#include "log_capture.h"
#include "sparse_file.h"
#include "test_support.h"

namespace pl::net {

// Records and extents print as the text kept beside the file.
void PrintTo(const ByteExtent& extent, std::ostream* os) { *os << "[" << extent.begin << ", " << extent.end << ")"; }
void PrintTo(const PartRecord& record, std::ostream* os) { *os << RenderPartRecord(record); }

namespace {

using test::DevServerRule;
using test::DevServerSession;
using test::GeneratedBytes;
using Progress = std::vector<std::pair<uint64_t, uint64_t>>;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

// A private folder, log and stand-in session; callbacks and pauses are recorded (from any thread).
struct DownloadFixture : test::LoggedTest {
  DownloadCallbacks Recorder() {
    DownloadCallbacks callbacks;
    callbacks.onTransfer = [this](uint64_t done, uint64_t total) {
      std::lock_guard<std::mutex> lock(mutex);
      transfers.emplace_back(done, total);
    };
    callbacks.onVerify = [this](uint64_t done, uint64_t total) {
      std::lock_guard<std::mutex> lock(mutex);
      verifies.emplace_back(done, total);
    };
    return callbacks;
  }
  RetryPause Pauses() {
    return [this](uint32_t ms) {
      std::lock_guard<std::mutex> lock(mutex);
      pauses.push_back(ms);
    };
  }
  std::wstring Target(const std::wstring& name) const { return temp.Child(name); }
  std::string Read(const std::wstring& name) const {
    std::string bytes;
    test::ReadFileBytes(Target(name), &bytes);
    return bytes;
  }

  DevServerSession server;
  std::mutex mutex;
  Progress transfers;
  Progress verifies;
  std::vector<uint32_t> pauses;
};

TEST(DownloadPartsTest, Md5OfFilesInChunksWithProgress) {
  test::TempDirectory temp;
  ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"empty"), ""));
  ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"abc"), "abc"));
  ASSERT_TRUE(test::WriteFileBytes(temp.Child(L"big"), GeneratedBytes(0, 2621447)));
  EXPECT_EQ(FileMd5Hex(temp.Child(L"empty")), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(FileMd5Hex(temp.Child(L"abc")), "900150983CD24FB0D6963F7D28E17F72");
  Progress calls;
  EXPECT_EQ(FileMd5Hex(temp.Child(L"big"), [&](uint64_t done, uint64_t total) { calls.emplace_back(done, total); }),
            "71C3773C72C9FABEDEE5C67E9A286EFD");
  EXPECT_EQ(calls, (Progress{{1048576, 2621447}, {2097152, 2621447}, {2621447, 2621447}}));
  EXPECT_EQ(FileMd5Hex(temp.Child(L"missing")), "");
  EXPECT_EQ(FileMd5Hex(temp.path), "");

  EXPECT_EQ(FileSizeOf(temp.Child(L"big")), 2621447u);
  EXPECT_EQ(FileSizeOf(temp.Child(L"missing")), 0u);
  EXPECT_TRUE(Md5Equal("900150983cd24fb0d6963f7d28e17f72", "900150983CD24FB0D6963F7D28E17F72"));
  EXPECT_FALSE(Md5Equal("900150983CD24FB0D6963F7D28E17F7", "900150983CD24FB0D6963F7D28E17F72"));
  EXPECT_FALSE(Md5Equal("", "900150983CD24FB0D6963F7D28E17F72"));
  EXPECT_FALSE(Md5Equal("900150983CD24FB0D6963F7D28E17F73", "900150983CD24FB0D6963F7D28E17F72"));

  EXPECT_EQ(RetryPauseMs(1), 2000u);
  EXPECT_EQ(RetryPauseMs(2), 4000u);
  EXPECT_EQ(RetryPauseMs(3), 8000u);
  EXPECT_EQ(RetryPauseMs(4), 16000u);
  EXPECT_EQ(RetryPauseMs(5), 20000u);
  EXPECT_EQ(RetryPauseMs(40), 20000u);
}

TEST(DownloadPartsTest, CombinedPercentWeighsVerificationAndNeverGoesBack) {
  EXPECT_EQ(CombinedPercent({}), std::nullopt);
  EXPECT_EQ(CombinedPercent({{.done = 50, .total = 0}}), std::nullopt);
  EXPECT_EQ(CombinedPercent({{.done = 50, .total = 100}}), 50);
  EXPECT_EQ(CombinedPercent({{.done = 100, .total = 100, .hashed = 50, .verified = true}}), 75);
  EXPECT_EQ(CombinedPercent({{.done = 100, .total = 100, .hashed = 100, .verified = false}}), 100);  // capped
  EXPECT_EQ(CombinedPercent({{.done = 100, .total = 100}, {.done = 300, .total = 300, .verified = true},
                             {.done = 999, .total = 0}}),
            57);  // 400 of 700
  EXPECT_EQ(CombinedPercent({{.done = 5368709120ull, .total = 5368709120ull, .hashed = 5368709120ull,
                              .verified = true}}),
            100);

  GroupProgressState state;
  int shown = -1;
  EXPECT_EQ(NextProgressValue(&state, 0, 5, 78, &shown), 5);
  EXPECT_EQ(shown, 0);
  EXPECT_EQ(NextProgressValue(&state, 10, 5, 78, &shown), 12);
  EXPECT_EQ(shown, 10);
  EXPECT_EQ(NextProgressValue(&state, 10, 5, 78, &shown), std::nullopt);
  EXPECT_EQ(NextProgressValue(&state, 3, 5, 78, &shown), std::nullopt);  // raised to 10 again
  EXPECT_EQ(NextProgressValue(&state, 11, 5, 78, &shown), 13);
  EXPECT_EQ(NextProgressValue(&state, 12, 5, 78, &shown), std::nullopt);  // 13 once more
  EXPECT_EQ(NextProgressValue(&state, 100, 5, 78, &shown), 78);
  EXPECT_EQ(shown, 100);
  EXPECT_EQ(state.lastPercent, 100);
}

TEST_F(DownloadFixture, ACompleteCorrectFileIsKeptWithoutAnyRequest) {
  const std::string content = GeneratedBytes(7, 300000);
  const std::string md5 = server.PutFile("img.wim", content);
  ASSERT_TRUE(test::WriteFileBytes(Target(L"img.wim"), content));
  std::string error = "untouched";
  EXPECT_TRUE(DownloadVerified(server.Url("/files/img.wim"), Target(L"img.wim"), Upper(md5), Recorder(), &error,
                               Pauses()));
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(transfers, (Progress{{300000, 300000}}));
  ASSERT_FALSE(verifies.empty());
  EXPECT_EQ(verifies.back(), std::make_pair(uint64_t{300000}, uint64_t{300000}));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(Read(L"img.wim"), content);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(DownloadFixture, APartialFileIsResumedOrRewrittenWhenTheServerIgnoresTheRange) {
  const std::string content = GeneratedBytes(0, 250000);
  const std::string md5 = server.PutFile("pe.wim", content);
  ASSERT_TRUE(test::WriteFileBytes(Target(L"pe.wim"), content.substr(0, 1000)));
  std::string error;
  ASSERT_TRUE(DownloadVerified(server.Url("/files/pe.wim"), Target(L"pe.wim"), md5, Recorder(), &error, Pauses()))
      << error;
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("Range"), "bytes=1000-");
  EXPECT_EQ(requests[0].Header("User-Agent"), "PelloraReinstall/1.0");
  EXPECT_TRUE(Read(L"pe.wim") == content);
  ASSERT_GE(transfers.size(), 2u);
  EXPECT_EQ(transfers.front(), std::make_pair(uint64_t{1000}, uint64_t{250000}));
  EXPECT_EQ(transfers.back(), std::make_pair(uint64_t{250000}, uint64_t{250000}));
  for (size_t i = 1; i < transfers.size(); ++i) EXPECT_GT(transfers[i].first, transfers[i - 1].first);

  // The same partial file, but the server answers 200 with the whole file.
  ASSERT_TRUE(test::WriteFileBytes(Target(L"other.wim"), std::string(1000, 'X')));
  server.AddRule({.path = "/files/pe.wim", .ignoreRange = true});
  transfers.clear();
  ASSERT_TRUE(DownloadToFile(server.Url("/files/pe.wim"), Target(L"other.wim"), 1000, Recorder(), &error)) << error;
  requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Header("Range"), "bytes=1000-");
  EXPECT_TRUE(Read(L"other.wim") == content);
  EXPECT_EQ(transfers.front(), std::make_pair(uint64_t{0}, uint64_t{250000}));
}

TEST_F(DownloadFixture, ALeftoverLargerThanTheRemoteFileIsReplacedInTheSameAttempt) {
  const std::string content = GeneratedBytes(3, 3000);
  const std::string md5 = server.PutFile("win10.wim", content);
  ASSERT_TRUE(test::WriteFileBytes(Target(L"win10.wim"), std::string(5000, 'L')));
  std::string error;
  ASSERT_TRUE(DownloadVerified(server.Url("/files/win10.wim"), Target(L"win10.wim"), md5, Recorder(), &error,
                               Pauses()))
      << error;
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Header("Range"), "bytes=5000-");
  EXPECT_EQ(requests[1].HeaderCount("Range"), 0u);
  EXPECT_TRUE(Read(L"win10.wim") == content);
  EXPECT_TRUE(pauses.empty());
  EXPECT_EQ(LogLines(), std::vector<std::string>{
                            "T [WARN] 下载收到 416（本地已有文件跟这次要下载的内容对不上，很可能是之前下载了别的系统镜像"
                            "遗留下来的），丢弃本地文件重新整包下载: " + base::WideToUtf8(Target(L"win10.wim"))});
}

TEST_F(DownloadFixture, ADroppedConnectionIsResumedByTheNextAttempt) {
  const std::string content = GeneratedBytes(11, 200000);
  const std::string md5 = server.PutFile("big.bin", content);
  // One stream over our own connection, or through WinHTTP: the dropped answer reads differently.
  for (const bool direct : {true, false}) {
    SCOPED_TRACE(direct ? "own connection" : "WinHTTP");
    UseLog(direct ? L"direct.log" : L"winhttp.log");
    pauses.clear();
    DeleteFileW(Target(L"big.bin").c_str());
    server.AddRule({.path = "/files/big.bin", .times = 1, .cutAfter = 70000});
    server.AddRule({.path = "/files/big.bin", .times = 1, .drop = true});
    const size_t before = server.Requests().size();
    DownloadOptions options;
    options.directHttp = direct;
    std::string error;
    ASSERT_TRUE(DownloadVerified({server.Url("/files/big.bin"), Target(L"big.bin"), md5, "big", 0}, Recorder(), &error,
                                 Pauses(), options))
        << error;
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), before + 3);
    EXPECT_EQ(requests[before].HeaderCount("Range"), 0u);
    EXPECT_EQ(requests[before + 1].Header("Range"), "bytes=70000-");
    EXPECT_EQ(requests[before + 2].Header("Range"), "bytes=70000-");
    EXPECT_TRUE(Read(L"big.bin") == content);
    EXPECT_EQ(pauses, (std::vector<uint32_t>{2000, 4000}));
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "T [WARN] 下载失败(第 1/5 次尝试): 下载中断: 已收到 70000 字节，应为 200000 字节");
    // The stand-in shuts its side (FIN) and then resets (RST): our own connection sees whichever it reads first.
    const std::string attempt2 = "T [WARN] 下载失败(第 2/5 次尝试): ";
    if (direct) {
      EXPECT_TRUE(lines[1] == attempt2 + "服务器在响应头之前关闭了连接" || lines[1] == attempt2 + "接收响应失败: 10054")
          << lines[1];
    } else {
      EXPECT_EQ(lines[1].rfind(attempt2 + "WinHttpReceiveResponse 失败: ", 0), 0u) << lines[1];
    }
  }
}

TEST_F(DownloadFixture, AnMd5MismatchOnEveryAttemptDeletesTheFileAndNamesBothDigests) {
  const std::string content = GeneratedBytes(5, 5000);
  const std::string actual = Upper(server.PutFile("tools.zip", content));
  const std::string wrong = "0123456789abcdef0123456789abcdef";
  std::string error;
  EXPECT_FALSE(
      DownloadVerified(server.Url("/files/tools.zip"), Target(L"tools.zip"), wrong, Recorder(), &error, Pauses()));
  const std::string mismatch = "MD5 校验失败（期望 0123456789abcdef0123456789abcdef，实际 " + actual + "）";
  EXPECT_EQ(error, mismatch);
  EXPECT_EQ(pauses, (std::vector<uint32_t>{2000, 4000, 8000, 16000}));
  EXPECT_FALSE(test::FileExists(Target(L"tools.zip")));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 5u);
  for (const auto& request : requests) EXPECT_EQ(request.HeaderCount("Range"), 0u);  // each attempt from 0
  std::vector<std::string> expected;
  for (int attempt = 1; attempt <= 5; ++attempt) {
    expected.push_back("T [WARN] 下载失败(第 " + std::to_string(attempt) + "/5 次尝试): " + mismatch);
  }
  EXPECT_EQ(LogLines(), expected);

  // The stand-in gives its digest in lower case: it matches the upper-case one computed here, and the second call
  // finds the file complete.
  const std::string lower = server.PutFile("tools.zip", content);
  ASSERT_NE(lower, actual);
  pauses.clear();
  ASSERT_TRUE(DownloadVerified(server.Url("/files/tools.zip"), Target(L"tools.zip"), lower, Recorder(), &error,
                               Pauses()))
      << error;
  EXPECT_TRUE(DownloadVerified(server.Url("/files/tools.zip"), Target(L"tools.zip"), lower, Recorder(), &error,
                               Pauses()));
  EXPECT_EQ(server.Requests().size(), 6u);
  EXPECT_TRUE(pauses.empty());
}

TEST_F(DownloadFixture, TransferFailuresNameTheirCause) {
  const std::string content = GeneratedBytes(0, 80000);
  server.PutFile("f.bin", content);
  const std::wstring url = server.Url("/files/f.bin");
  std::string error;
  server.AddRule({.path = "/files/f.bin", .times = 1, .status = 500, .body = "no"});
  EXPECT_FALSE(DownloadToFile(url, Target(L"a"), 0, {}, &error));
  EXPECT_EQ(error, "HTTP 状态码异常: 500");
  EXPECT_FALSE(test::FileExists(Target(L"a")));
  server.AddRule({.path = "/files/f.bin", .times = 1, .status = 416});
  EXPECT_FALSE(DownloadToFile(url, Target(L"a"), 0, {}, &error));
  EXPECT_EQ(error, "HTTP 状态码异常: 416");
  EXPECT_FALSE(DownloadToFile(L"no url", Target(L"a"), 0, {}, &error));
  EXPECT_EQ(error, "URL 解析失败");
  std::wstring closedOrigin;
  {
    DevServerSession closed;
    closedOrigin = closed.origin;
  }
  EXPECT_FALSE(DownloadToFile(closedOrigin + L"/files/f.bin", Target(L"a"), 0, {}, &error));
  EXPECT_EQ(error, "WinHttpSendRequest 失败: 12029");
  EXPECT_FALSE(DownloadToFile(url, Target(L"missing\\folder\\a"), 0, {}, &error));
  EXPECT_EQ(error, "无法打开目标文件写入: 目标路径不可写");
  EXPECT_FALSE(DownloadToFile(url, Target(L"missing\\folder\\a"), 0, {}, nullptr));

  // A full disk (the host's /dev/full) ends the transfer at the first write.
  EXPECT_FALSE(DownloadToFile(url, L"Z:\\dev\\full", 0, Recorder(), &error));
  EXPECT_EQ(error, "写入目标文件失败（磁盘空间不足）: 112");
  EXPECT_EQ(transfers, (Progress{{0, 80000}}));
}

TEST_F(DownloadFixture, SizesBeyondFourGigabytes) {
  // Announced 5 GiB, cut after 1000 bytes: the full length is reported and the short body is an error.
  server.AddRule({.path = "/gen/5368709120", .cutAfter = 1000});
  std::string error;
  EXPECT_FALSE(DownloadToFile(server.Url("/gen/5368709120"), Target(L"huge"), 0, Recorder(), &error));
  EXPECT_EQ(error, "下载中断: 已收到 1000 字节，应为 5368709120 字节");
  ASSERT_FALSE(transfers.empty());
  EXPECT_EQ(transfers.front(), std::make_pair(uint64_t{0}, uint64_t{5368709120}));
  EXPECT_TRUE(Read(L"huge") == GeneratedBytes(0, 1000));

  // A partial file of 4 GiB + 1000 bytes (sparse) resumes past 4 GiB.
  const uint64_t have = 4294967296ull + 1000;
  const uint64_t size = have + 2000;
  ASSERT_TRUE(test::MakeFileOfSize(Target(L"sparse"), have));
  ASSERT_EQ(FileSizeOf(Target(L"sparse")), have);
  transfers.clear();
  const std::string path = "/gen/" + std::to_string(size);
  ASSERT_TRUE(DownloadToFile(server.Url(path), Target(L"sparse"), have, Recorder(), &error)) << error;
  EXPECT_EQ(server.Requests().back().Header("Range"), "bytes=4294968296-");
  EXPECT_EQ(FileSizeOf(Target(L"sparse")), size);
  EXPECT_EQ(transfers.front(), std::make_pair(have, size));
  EXPECT_EQ(transfers.back(), std::make_pair(size, size));
  EXPECT_TRUE(test::ReadFileRange(Target(L"sparse"), have, 2001) == GeneratedBytes(have, 2000));
}

TEST_F(DownloadFixture, AGroupFailsWithTheFirstFailedJobInListOrder) {
  const std::string content = GeneratedBytes(0, 120000);
  const std::string md5 = server.PutFile("image.wim", content);
  // The second job fails last, after the third.
  server.AddRule({.path = "/files/pe.wim", .status = 404, .body = "gone", .delayMs = 150});
  server.AddRule({.path = "/files/boot.sdi", .status = 503, .body = "busy"});
  const std::vector<DownloadJob> jobs = {
      {server.Url("/files/image.wim"), Target(L"image.wim"), md5, "系统镜像", 0},
      {server.Url("/files/pe.wim"), Target(L"pe.wim"), "", "PE 环境", 0},
      {server.Url("/files/boot.sdi"), Target(L"boot.sdi"), "", "boot.sdi", 0},
  };
  std::string error;
  EXPECT_FALSE(DownloadGroup(jobs, {}, 5, 78, &error, Pauses()));
  EXPECT_EQ(error, "下载PE 环境失败: HTTP 状态码异常: 404");
  EXPECT_TRUE(Read(L"image.wim") == content);
  EXPECT_EQ(pauses.size(), 8u);  // four after each failing job

  EXPECT_TRUE(DownloadGroup({jobs[0]}, {}, 0, 100, &error, Pauses()));
  EXPECT_TRUE(DownloadGroup({}, {}, 0, 100, &error, Pauses()));
}

// What a group's sink received, from which thread.
struct SinkCall {
  std::string stage;
  std::string message;
  int value;
  DWORD thread;
};

struct SinkRecorder {
  DownloadProgressSink Sink() {
    return [this](const std::string& stage, const std::string& message, int value) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back({stage, message, value, GetCurrentThreadId()});
    };
  }
  // Each value once, rising from the download threads through [5, 78] to "下载进度: 100%".
  void ExpectRisingTo78() const {
    ASSERT_GE(calls.size(), 3u);
    int lastValue = -1;
    int lastPercent = -1;
    for (const SinkCall& call : calls) {
      EXPECT_EQ(call.stage, "download");
      EXPECT_NE(call.thread, GetCurrentThreadId());  // from the download threads
      EXPECT_GT(call.value, lastValue);
      EXPECT_GE(call.value, 5);
      EXPECT_LE(call.value, 78);
      ASSERT_EQ(call.message.rfind("下载进度: ", 0), 0u) << call.message;
      const int percent = std::stoi(call.message.substr(std::string("下载进度: ").size()));
      EXPECT_EQ(call.message, "下载进度: " + std::to_string(percent) + "%");
      EXPECT_EQ(call.value, 5 + 73 * percent / 100);
      EXPECT_GE(percent, lastPercent);
      lastValue = call.value;
      lastPercent = percent;
    }
    EXPECT_EQ(calls.back().value, 78);
    EXPECT_EQ(calls.back().message, "下载进度: 100%");
  }

  std::mutex mutex;
  std::vector<SinkCall> calls;
};

TEST_F(DownloadFixture, GroupProgressFromSeveralThreadsRisesOnceThroughEachValue) {
  SinkRecorder sink;
  const std::string a = GeneratedBytes(1, 900000);
  const std::string b = GeneratedBytes(2, 500000);
  const std::string c = GeneratedBytes(3, 300000);
  std::vector<DownloadJob> jobs = {
      {server.Url("/files/a"), Target(L"a"), server.PutFile("a", a), "a", 0},
      {server.Url("/files/b"), Target(L"b"), server.PutFile("b", b), "b", 0},
      {server.Url("/files/c"), Target(L"c"), "", "c", 300000},
  };
  server.PutFile("c", c);
  ASSERT_TRUE(test::WriteFileBytes(Target(L"b"), b.substr(0, 200000)));  // resumed
  server.AddRule({.path = "/files/c", .delayMs = 100});
  std::string error;
  ASSERT_TRUE(DownloadGroup(jobs, sink.Sink(), 5, 78, &error, Pauses())) << error;
  EXPECT_TRUE(Read(L"a") == a);
  EXPECT_TRUE(Read(L"b") == b);
  EXPECT_TRUE(Read(L"c") == c);
  sink.ExpectRisingTo78();
}


TEST(DownloadPartsTest, ExtentsRecordsAndContentRanges) {
  std::vector<ByteExtent> extents;
  for (const ByteExtent& e : std::vector<ByteExtent>{{100, 200}, {300, 400}, {0, 50}, {50, 60}, {150, 320},
                                                     {500, 500}, {600, 700}}) {
    AddExtent(&extents, e);
  }
  EXPECT_EQ(extents, (std::vector<ByteExtent>{{0, 60}, {100, 400}, {600, 700}}));  // touching ones merge
  EXPECT_EQ(CoveredBytes(extents), 460u);
  EXPECT_EQ(ContiguousPrefix(extents), 60u);
  EXPECT_EQ(ContiguousPrefix({{1, 5}}), 0u);
  AddExtent(&extents, {60, 600});
  EXPECT_EQ(extents, (std::vector<ByteExtent>{{0, 700}}));

  // Pieces are cut from the gaps as they are taken; a record claiming 2^64-1 bytes costs two gaps, not 2^34 pieces.
  auto pieces = [](const PartRecord& record, uint64_t pieceSize) {
    std::deque<ByteExtent> gaps = MissingExtents(record);
    const size_t counted = CountPieces(gaps, pieceSize, 100);
    std::vector<ByteExtent> cut;
    while (!gaps.empty() && cut.size() < 100) cut.push_back(TakeFrontPiece(&gaps, pieceSize));
    EXPECT_EQ(counted, cut.size());
    return cut;
  };
  EXPECT_EQ(pieces({1000, {{100, 200}, {450, 900}}}, 200),
            (std::vector<ByteExtent>{{0, 100}, {200, 400}, {400, 450}, {900, 1000}}));
  EXPECT_EQ(pieces({1000, {{0, 1000}}}, 200), std::vector<ByteExtent>{});
  EXPECT_EQ(pieces({5368709120ull, {{0, 5368709000ull}}}, 1ull << 30),
            (std::vector<ByteExtent>{{5368709000ull, 5368709120ull}}));
  EXPECT_EQ(MissingExtents({UINT64_MAX, {{0, 1000}, {2000, 3000}}}),
            (std::deque<ByteExtent>{{1000, 2000}, {3000, UINT64_MAX}}));
  EXPECT_EQ(CountPieces(MissingExtents({UINT64_MAX, {}}), 1, 4), 4u);
  EXPECT_EQ(CountPieces(MissingExtents({UINT64_MAX, {}}), 64ull << 20, SIZE_MAX), size_t{1} << 38);

  const PartRecord record{5368709120ull, {{0, 4096}, {2147483648ull, 4294967296ull}}};
  const std::string text = "pellora-parts 1\nsize 5368709120\ndone 0 4096\ndone 2147483648 4294967296\n";
  EXPECT_EQ(RenderPartRecord(record), text);
  PartRecord parsed;
  ASSERT_TRUE(ParsePartRecord(text, &parsed));
  EXPECT_EQ(parsed, record);
  ASSERT_TRUE(ParsePartRecord("pellora-parts 1\nsize 0\n", &parsed));
  EXPECT_EQ(parsed, PartRecord{});
  for (const char* bad : {"", "pellora-parts 2\nsize 10\n", "pellora-parts 1\nsize 10", "pellora-parts 1\nsize -1\n",
                          "pellora-parts 1\nsize 10\ndone 0 11\n", "pellora-parts 1\nsize 10\ndone 5 5\n",
                          "pellora-parts 1\nsize 10\ndone 4 6\ndone 0 2\n", "pellora-parts 1\nsize 10\ndone 0 2\ndone 2 4\n",
                          "pellora-parts 1\nsize 10\ndone 0 2\r\n", "pellora-parts 1\nsize 99999999999999999999\n",
                          "pellora-parts 1\nsize 10\ndone 0 2\nextra\n"}) {
    EXPECT_FALSE(ParsePartRecord(bad, &parsed)) << bad;
  }

  struct RangeCase {
    const char* text;
    bool ok;
    uint64_t first, last, total;
  };
  for (const RangeCase& c : std::vector<RangeCase>{{"bytes 0-99/1000", true, 0, 99, 1000},
                                                   {" bytes 4294967296-5368709119/5368709120 ", true, 4294967296ull,
                                                    5368709119ull, 5368709120ull},
                                                   {"bytes 0-99/*", false}, {"bytes */1000", false},
                                                   {"bytes 10-9/1000", false}, {"bytes 0-1000/1000", false},
                                                   {"items 0-99/1000", false}, {"bytes 0-99/1000x", false}}) {
    uint64_t first = 7, last = 7, total = 7;
    EXPECT_EQ(ParseContentRange(c.text, &first, &last, &total), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::make_tuple(first, last, total), std::make_tuple(c.first, c.last, c.total)) << c.text;
    }
  }
}

// Ranges of 100000 bytes over four connections from 100000 bytes on, so that small files go in ranges.
DownloadOptions SmallRanges(uint64_t checkpointBytes = 1 << 20) {
  DownloadOptions options;
  options.rangedThreshold = 100000;
  options.rangeSize = 100000;
  options.checkpointBytes = checkpointBytes;
  return options;
}

// The Range header of each request ("" for none), sorted: the connections ask in no fixed order.
std::vector<std::string> SortedRanges(const std::vector<test::DevServerRequest>& requests, size_t from = 0) {
  std::vector<std::string> ranges;
  for (size_t i = from; i < requests.size(); ++i) ranges.push_back(requests[i].Header("Range"));
  std::sort(ranges.begin(), ranges.end());
  return ranges;
}

std::vector<std::string> Sorted(std::vector<std::string> texts) {
  std::sort(texts.begin(), texts.end());
  return texts;
}

void ExpectRisingTo(const Progress& calls, uint64_t total) {
  ASSERT_FALSE(calls.empty());
  for (size_t i = 1; i < calls.size(); ++i) EXPECT_GE(calls[i].first, calls[i - 1].first);
  EXPECT_EQ(calls.back(), std::make_pair(total, total));
}

struct RangedDownloadTest : DownloadFixture {
  DownloadJob Job(const std::string& name, const std::string& md5, uint64_t sizeHint = 0) {
    return {server.Url("/files/" + name), Target(base::Utf8ToWide(name)), md5, name, sizeHint};
  }
  std::string Utf8Target(const std::wstring& name) const { return base::WideToUtf8(Target(name)); }
  // A fresh run, or one an earlier run left with the first 1000 bytes and their record; each logs to its own file.
  void BeginRun(bool recorded, const std::wstring& name, const std::string& content) {
    UseLog(recorded ? L"recorded.log" : L"fresh.log");
    if (!recorded) return;
    ASSERT_TRUE(test::WriteFileBytes(Target(name), content.substr(0, 1000)));
    ASSERT_TRUE(SavePartRecord(Target(name), {content.size(), {{0, 1000}}}));
  }
  std::string RangedLine(const std::wstring& name, uint64_t size, uint64_t have = 0) const {
    return "T [INFO] 分段下载（4 个连接，共 " + std::to_string(size) + " 字节，已有 " + std::to_string(have) +
           " 字节）: " + Utf8Target(name);
  }
};

TEST_F(RangedDownloadTest, RangesLandInPlaceAndOnlyTheCutOneIsFetchedAgain) {
  const std::string content = GeneratedBytes(13, 950000);
  const std::string md5 = server.PutFile("win.esd", content);
  // Over our own connections the first answer only tells the size and ranges; through WinHTTP it also serves the
  // first range.
  for (const bool direct : {true, false}) {
    SCOPED_TRACE(direct ? "own connections" : "WinHTTP");
    UseLog(direct ? L"direct.log" : L"winhttp.log");
    transfers.clear();
    verifies.clear();
    DeleteFileW(Target(L"win.esd").c_str());
    server.AddRule({.path = "/files/win.esd", .times = 1, .cutAfter = 5000, .range = "bytes=300000-399999"});
    const size_t before = server.Requests().size();
    DownloadOptions options = SmallRanges();
    options.directHttp = direct;
    std::string error;
    ASSERT_TRUE(DownloadVerified(Job("win.esd", md5), Recorder(), &error, Pauses(), options)) << error;
    EXPECT_TRUE(Read(L"win.esd") == content);
    EXPECT_FALSE(test::FileExists(Target(L"win.esd.plparts")));
    std::vector<std::string> expected = {"", "bytes=305000-399999"};
    for (uint64_t at = direct ? 0 : 100000; at < 950000; at += 100000) {
      expected.push_back("bytes=" + std::to_string(at) + "-" +
                         std::to_string(std::min<uint64_t>(at + 100000, 950000) - 1));
    }
    EXPECT_EQ(SortedRanges(server.Requests(), before), Sorted(expected));
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              RangedLine(L"win.esd", 950000),
                              "T [WARN] 分段下载失败，单独重新获取 bytes=305000-399999: 下载中断: 已收到 5000 字节，"
                              "应为 100000 字节（bytes=300000-399999）"}));
    ExpectRisingTo(transfers, 950000);
    ExpectRisingTo(verifies, 950000);  // hashed while arriving: no pass of its own afterwards
  }
}

TEST_F(RangedDownloadTest, IdleConnectionsTakeOverTheSecondHalfOfASlowRange) {
  const std::string content = GeneratedBytes(41, 800000);
  const std::string md5 = server.PutFile("slow.wim", content);
  // The last of four ranges answers late: the connections done meanwhile split what it has left between them.
  server.AddRule({.path = "/files/slow.wim", .delayMs = 1500, .range = "bytes=600000-799999"});
  DownloadOptions options = SmallRanges();
  options.rangeSize = 200000;
  options.splitBytes = 20000;
  std::string error;
  ASSERT_TRUE(DownloadVerified(Job("slow.wim", md5), Recorder(), &error, Pauses(), options)) << error;
  EXPECT_TRUE(Read(L"slow.wim") == content);
  const std::vector<std::string> ranges = SortedRanges(server.Requests());
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), "bytes=600000-799999"), 1);
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), "bytes=700000-799999"), 1);
  EXPECT_EQ(LogLines(), std::vector<std::string>{RangedLine(L"slow.wim", 800000)});
  ExpectRisingTo(verifies, 800000);
}

TEST_F(RangedDownloadTest, AStoppedProcessIsResumedInEveryRangeFromItsRecord) {
  const std::string content = GeneratedBytes(17, 400000);
  const std::string md5 = server.PutFile("pe.wim", content);
  const std::wstring path = Target(L"pe.wim");
  // Every answer stops after 30000 bytes and holds the connection; the child reads 10000 bytes at a time and
  // records each read.
  server.AddRule({.path = "/files/pe.wim", .stallAfter = 30000});
  const std::wstring child = base::ModuleFilePath().substr(0, base::ModuleFilePath().rfind(L'\\')) +
                             L"\\pl_download_child.exe";
  std::wstring commandLine = L"\"" + child + L"\" \"" + server.Url("/files/pe.wim") + L"\" \"" + path + L"\" " +
                             base::Utf8ToWide(md5) + L" 100000 1 10000";
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(base::CreateProcessSettled(child.c_str(), commandLine, FALSE, 0, nullptr, nullptr, &startup, &info));
  base::UniqueKernelHandle process(info.hProcess);
  base::UniqueKernelHandle thread(info.hThread);
  const PartRecord stalled{400000, {{0, 30000}, {100000, 130000}, {200000, 230000}, {300000, 330000}}};
  PartRecord record;
  for (int i = 0; i < 600 && !(LoadPartRecord(path, &record) == PartRecordState::kValid && record == stalled); ++i) {
    Sleep(50);
  }
  TerminateProcess(process.get(), 9);
  WaitForSingleObject(process.get(), 10000);
  ASSERT_EQ(record, stalled);

  server.ClearRules();
  const size_t before = server.Requests().size();
  std::string error;
  ASSERT_TRUE(DownloadVerified(Job("pe.wim", md5), Recorder(), &error, Pauses(), SmallRanges())) << error;
  EXPECT_TRUE(Read(L"pe.wim") == content);
  EXPECT_FALSE(test::FileExists(Target(L"pe.wim.plparts")));
  EXPECT_EQ(SortedRanges(server.Requests(), before),
            Sorted({"bytes=30000-99999", "bytes=130000-199999", "bytes=230000-299999", "bytes=330000-399999"}));
  EXPECT_EQ(LogLines(), std::vector<std::string>{"T [INFO] 按断点记录继续分段下载（已有 120000/400000 字节）: " +
                                                 Utf8Target(L"pe.wim")});
  ExpectRisingTo(transfers, 400000);
  EXPECT_EQ(transfers.front(), std::make_pair(uint64_t{120000}, uint64_t{400000}));
}

TEST_F(RangedDownloadTest, ARecordThatLiesCostsOneFreshDownloadAndNeverASuccess) {
  const std::string content = GeneratedBytes(19, 300000);
  const std::string md5 = server.PutFile("boot.wim", content);
  std::string damaged = content;
  std::fill(damaged.begin() + 100000, damaged.begin() + 200000, '\0');
  ASSERT_TRUE(test::WriteFileBytes(Target(L"damaged"), damaged));
  const std::string damagedMd5 = FileMd5Hex(Target(L"damaged"));
  const std::string all = "pellora-parts 1\nsize 300000\ndone 0 300000\n";
  const std::string path = Utf8Target(L"boot.wim");
  const std::string invalid = "T [WARN] 断点记录无效，丢弃本地文件重新整包下载: " + path;
  struct Case {
    const char* name;
    std::string file;
    std::string record;
    std::vector<uint32_t> pauses;
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      {"claims bytes the file does not hold", damaged, all, {2000},
       {"T [INFO] 按断点记录继续分段下载（已有 300000/300000 字节）: " + path,
        "T [WARN] 下载失败(第 1/5 次尝试): MD5 校验失败（期望 " + md5 + "，实际 " + damagedMd5 + "）",
        RangedLine(L"boot.wim", 300000)}},
      {"claims more than the file holds", content.substr(0, 100000), all, {}, {invalid, RangedLine(L"boot.wim", 300000)}},
      {"is no record", content.substr(0, 100000), "pellora-parts 1\nsize 300000\ndone 0 1", {},
       {invalid, RangedLine(L"boot.wim", 300000)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseLog(base::Utf8ToWide(c.name));
    pauses.clear();
    ASSERT_TRUE(test::WriteFileBytes(Target(L"boot.wim"), c.file));
    ASSERT_TRUE(test::WriteFileBytes(Target(L"boot.wim.plparts"), c.record));
    const size_t before = server.Requests().size();
    std::string error;
    ASSERT_TRUE(DownloadVerified(Job("boot.wim", md5), Recorder(), &error, Pauses(), SmallRanges())) << error;
    EXPECT_TRUE(Read(L"boot.wim") == content);
    EXPECT_FALSE(test::FileExists(Target(L"boot.wim.plparts")));
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_EQ(LogLines(), c.log);
    EXPECT_EQ(SortedRanges(server.Requests(), before),
              Sorted({"", "bytes=0-99999", "bytes=100000-199999", "bytes=200000-299999"}));
  }
}

TEST_F(RangedDownloadTest, AServerThatIgnoresRangesGetsOneStream) {
  const std::string content = GeneratedBytes(29, 350000);
  const std::string md5 = server.PutFile("tools.zip", content);
  server.AddRule({.path = "/files/tools.zip", .ignoreRange = true});
  const std::string path = Utf8Target(L"tools.zip");
  const std::string refused = "T [WARN] 服务器不接受分段请求，改为单连接整包下载: " + path;
  // A fresh download (the first answer announces ranges, the range requests get the whole file), then one that
  // an earlier run left with a record.
  for (const bool recorded : {false, true}) {
    SCOPED_TRACE(recorded ? "recorded" : "fresh");
    ASSERT_NO_FATAL_FAILURE(BeginRun(recorded, L"tools.zip", content));
    std::string error;
    ASSERT_TRUE(DownloadVerified(Job("tools.zip", md5), Recorder(), &error, Pauses(), SmallRanges())) << error;
    EXPECT_TRUE(Read(L"tools.zip") == content);
    EXPECT_FALSE(test::FileExists(Target(L"tools.zip.plparts")));
    EXPECT_EQ(server.Requests().back().HeaderCount("Range"), 0u);
    EXPECT_TRUE(pauses.empty());
    const std::string first = recorded ? "T [INFO] 按断点记录继续分段下载（已有 1000/350000 字节）: " + path
                                       : RangedLine(L"tools.zip", 350000);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{first, refused}));
  }
}

TEST_F(RangedDownloadTest, RedirectedRangesFollowTheFirstAnswerOrGoBackToWinHttp) {
  const std::string content = GeneratedBytes(43, 400000);
  const std::string md5 = server.PutFile("new.wim", content);
  server.AddRule({.path = "/files/old.wim", .status = 302, .location = base::WideToUtf8(server.Url("/files/new.wim"))});
  const std::string path = Utf8Target(L"old.wim");
  // The first redirect our own connections meet hands the ranges back to WinHTTP, which follows it.
  for (const bool recorded : {false, true}) {
    SCOPED_TRACE(recorded ? "recorded" : "fresh");
    ASSERT_NO_FATAL_FAILURE(BeginRun(recorded, L"old.wim", content));
    const size_t before = server.Requests().size();
    std::string error;
    ASSERT_TRUE(DownloadVerified(Job("old.wim", md5), Recorder(), &error, Pauses(), SmallRanges())) << error;
    EXPECT_TRUE(Read(L"old.wim") == content);
    std::vector<std::string> moved;
    for (size_t i = before; i < server.Requests().size(); ++i) {
      if (server.Requests()[i].path == "/files/new.wim") moved.push_back(server.Requests()[i].Header("Range"));
    }
    std::sort(moved.begin(), moved.end());
    // A fresh download's first request, over our own connection, is redirected already: WinHTTP follows it, and
    // its answer serves the first range. Wine's WinHTTP cannot tell where it was redirected to, so the other
    // ranges stay with WinHTTP too. A recorded download meets the redirect with its ranges.
    EXPECT_EQ(moved, recorded ? Sorted({"bytes=1000-100999", "bytes=101000-200999", "bytes=201000-300999",
                                        "bytes=301000-399999"})
                              : Sorted({"", "bytes=100000-199999", "bytes=200000-299999", "bytes=300000-399999"}));
    const std::vector<std::string> log =
        recorded ? std::vector<std::string>{"T [INFO] 按断点记录继续分段下载（已有 1000/400000 字节）: " + path,
                                            "T [INFO] 分段请求被服务器转向，改由 WinHTTP 发送: " + path}
                 : std::vector<std::string>{"T [INFO] 请求被服务器转向，改由 WinHTTP 发送: " + path,
                                            RangedLine(L"old.wim", 400000)};
    EXPECT_EQ(LogLines(), log);
  }
}

TEST_F(RangedDownloadTest, AFiveGigabyteFileFinishesPastTwoAndFourGigabytesInOneAttempt) {
  // Sparse on the host: only the three missing ranges are ever written.
  const uint64_t size = 5368709120ull;
  const std::wstring path = Target(L"huge.wim");
  ASSERT_TRUE(test::MakeFileOfSize(path, size));
  const std::vector<ByteExtent> gaps = {{2147483547ull, 2147483747ull}, {4294967196ull, 4294967396ull},
                                        {size - 100, size}};
  ASSERT_TRUE(SavePartRecord(path, {size, {{0, gaps[0].begin}, {gaps[0].end, gaps[1].begin}, {gaps[1].end,
                                                                                              gaps[2].begin}}}));
  std::string error;
  const DownloadJob job{server.Url("/gen/5368709120"), path, "", "huge", size};
  ASSERT_TRUE(DownloadVerified(job, Recorder(), &error, Pauses(), SmallRanges())) << error;
  EXPECT_EQ(SortedRanges(server.Requests()),
            Sorted({"bytes=2147483547-2147483746", "bytes=4294967196-4294967395", "bytes=5368709020-5368709119"}));
  for (const ByteExtent& gap : gaps) {
    const uint32_t length = static_cast<uint32_t>(gap.end - gap.begin);
    EXPECT_TRUE(test::ReadFileRange(path, gap.begin, length) == GeneratedBytes(gap.begin, length)) << gap.begin;
  }
  EXPECT_EQ(FileSizeOf(path), size);
  EXPECT_FALSE(test::FileExists(path + L".plparts"));
  EXPECT_TRUE(pauses.empty());
  EXPECT_EQ(LogLines(), std::vector<std::string>{"T [INFO] 按断点记录继续分段下载（已有 5368708620/5368709120 字节）: " +
                                                 Utf8Target(L"huge.wim")});
  EXPECT_EQ(transfers.back(), std::make_pair(size, size));
  DeleteFileW(path.c_str());
}

TEST_F(RangedDownloadTest, ABodyOfUnknownLengthIsCheckedAgainstTheSizeHint) {
  const std::string content = GeneratedBytes(23, 10000);
  server.PutFile("sdi", content);
  struct Case {
    const char* name;
    bool direct;
    int64_t cutAfter;
    uint64_t sizeHint;
    std::vector<uint32_t> pauses;
    std::vector<std::string> ranges;
    std::vector<std::string> log;
  };
  const std::string chunkCut = "T [WARN] 下载失败(第 1/5 次尝试): 下载中断: 分块传输的响应在最后一个分块之前结束";
  const std::vector<Case> cases = {
      // Our own connection sees a chunked body end before its last chunk: a cut-off, resumed by the next attempt
      // whatever the job knows.
      {"cut short, with a hint", true, 3000, 10000, {2000}, {"", "bytes=3000-"}, {chunkCut}},
      {"cut short, with neither a hint nor an MD5", true, 3000, 0, {2000}, {"", "bytes=3000-"}, {chunkCut}},
      // Wine's WinHTTP ends such a body quietly: only the hint tells.
      {"cut short through WinHTTP, with a hint", false, 3000, 10000, {2000}, {"", "bytes=3000-"},
       {"T [WARN] 下载失败(第 1/5 次尝试): 下载中断: 已收到 3000 字节，应为 10000 字节"}},
      {"whole, with a hint", true, -1, 10000, {}, {""}, {}},
      {"whole, with neither a hint nor an MD5", true, -1, 0, {}, {""},
       {"T [WARN] 服务器没有给出文件长度，也没有大小或 MD5 可以核对，无法确认文件完整: " +
        Utf8Target(L"whole, with neither a hint nor an MD5")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseLog(base::Utf8ToWide(c.name) + L".log");
    pauses.clear();
    server.ClearRules();
    server.AddRule({.path = "/files/sdi", .times = 1, .cutAfter = c.cutAfter, .chunked = true});
    const size_t before = server.Requests().size();
    const DownloadJob job{server.Url("/files/sdi"), Target(base::Utf8ToWide(c.name)), "", "boot.sdi", c.sizeHint};
    DownloadOptions options = SmallRanges();
    options.directHttp = c.direct;
    std::string error;
    ASSERT_TRUE(DownloadVerified(job, Recorder(), &error, Pauses(), options)) << error;
    EXPECT_TRUE(Read(base::Utf8ToWide(c.name)) == content);
    EXPECT_EQ(pauses, c.pauses);
    EXPECT_EQ(SortedRanges(server.Requests(), before), c.ranges);
    EXPECT_EQ(LogLines(), c.log);
  }
}

TEST_F(RangedDownloadTest, GroupProgressNeverFallsWithFourConnections) {
  SinkRecorder sink;
  const std::string big = GeneratedBytes(31, 950000);
  const std::string small = GeneratedBytes(37, 60000);
  // Both sizes are known from the start: were the small one to finish before the large one said its size, it
  // alone would make 100%.
  const std::vector<DownloadJob> jobs = {Job("big", server.PutFile("big", big), 950000), Job("small", "", 60000)};
  server.PutFile("small", small);
  server.AddRule({.path = "/files/big", .times = 1, .cutAfter = 20000, .range = "bytes=500000-599999"});
  // The last range comes after the small file, so that the figure rises in several steps however fast the rest.
  server.AddRule({.path = "/files/big", .delayMs = 600, .range = "bytes=900000-949999"});
  std::string error;
  ASSERT_TRUE(DownloadGroup(jobs, sink.Sink(), 5, 78, &error, Pauses(), SmallRanges())) << error;
  EXPECT_TRUE(Read(L"big") == big);
  EXPECT_TRUE(Read(L"small") == small);
  sink.ExpectRisingTo78();
}

// A length no volume holds is refused before the first byte, once, whatever the way the file would come; a record
// whose size is none the server announces is dropped. Neither may cost memory by the piece.
TEST_F(RangedDownloadTest, FilesLargerThanTheVolumeAreRefusedAndAbsurdRecordsDropped) {
  const std::string huge = "4611686018427387904";  // 2^62 bytes
  struct Case {
    const char* name;
    bool direct;
    bool ranges;      // the ranged threshold is low enough
    bool recorded;    // an earlier run left a record of that size
  };
  for (const Case& c : std::vector<Case>{{"one stream over our own connection", true, false, false},
                                         {"one stream through WinHTTP", false, false, false},
                                         {"ranges over our own connections", true, true, false},
                                         {"ranges through WinHTTP", false, true, false},
                                         {"ranges from a record", true, true, true}}) {
    SCOPED_TRACE(c.name);
    UseLog(base::Utf8ToWide(c.name) + L".log");
    pauses.clear();
    DeleteFileW(Target(L"huge").c_str());
    if (c.recorded) {
      ASSERT_TRUE(test::WriteFileBytes(Target(L"huge"), GeneratedBytes(0, 1000)));
      ASSERT_TRUE(SavePartRecord(Target(L"huge"), {std::stoull(huge), {{0, 1000}}}));
    }
    const size_t before = server.Requests().size();
    DownloadOptions options = c.ranges ? SmallRanges() : DownloadOptions();
    options.directHttp = c.direct;
    std::string error;
    EXPECT_FALSE(DownloadVerified({server.Url("/gen/" + huge), Target(L"huge"), "", "huge", 0}, Recorder(), &error,
                                  Pauses(), options));
    const std::string prefix = "目标分区空间不足，无法下载: 文件大小 " + huge + " 字节，目标分区只有 ";
    EXPECT_EQ(error.rfind(prefix, 0), 0u) << error;
    const std::string suffix = " 字节可用: " + Utf8Target(L"huge");
    EXPECT_EQ(error.substr(error.size() - std::min(error.size(), suffix.size())), suffix);
    EXPECT_TRUE(pauses.empty());  // no further attempt
    // One request; from a record each connection may have asked before the first answer stopped them.
    EXPECT_GE(server.Requests().size() - before, 1u);
    EXPECT_LE(server.Requests().size() - before, c.recorded ? 4u : 1u);
    EXPECT_EQ(test::FileExists(Target(L"huge")), c.recorded);
    std::vector<std::string> log;
    if (c.recorded) log.push_back("T [INFO] 按断点记录继续分段下载（已有 1000/" + huge + " 字节）: " + Utf8Target(L"huge"));
    log.push_back("T [WARN] 下载失败(第 1/5 次尝试): " + error);
    EXPECT_EQ(LogLines(), log);
  }

  // A record claiming 2^64-1 bytes: its first answer tells another size, and the file is fetched afresh.
  UseLog(L"absurd.log");
  const std::string content = GeneratedBytes(47, 300000);
  const std::string md5 = server.PutFile("absurd.wim", content);
  ASSERT_TRUE(test::WriteFileBytes(Target(L"absurd.wim"), content.substr(0, 1000)));
  ASSERT_TRUE(test::WriteFileBytes(Target(L"absurd.wim.plparts"),
                                   "pellora-parts 1\nsize 18446744073709551615\ndone 0 1000\n"));
  std::string error;
  ASSERT_TRUE(DownloadVerified(Job("absurd.wim", md5), Recorder(), &error, Pauses(), SmallRanges())) << error;
  EXPECT_TRUE(Read(L"absurd.wim") == content);
  EXPECT_FALSE(test::FileExists(Target(L"absurd.wim.plparts")));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "T [INFO] 按断点记录继续分段下载（已有 1000/18446744073709551615 字节）: " +
                                Utf8Target(L"absurd.wim"),
                            "T [WARN] 服务器上的文件跟断点记录对不上，丢弃本地文件重新整包下载: " +
                                Utf8Target(L"absurd.wim")}));
}

// Whatever a thread of a download throws (here a progress callback) fails that download with a logged reason and
// no further attempt; the process lives on.
TEST_F(RangedDownloadTest, WhatADownloadThreadThrowsFailsTheDownload) {
  const std::string content = GeneratedBytes(53, 400000);
  const std::string md5 = server.PutFile("boom.wim", content);
  const ByteProgress boom = [](uint64_t done, uint64_t) {
    if (done > 0) throw std::runtime_error("boom");
  };
  struct Case {
    const char* name;
    bool ranges;
    bool onVerify;  // else onTransfer throws
    bool group;
  };
  const std::string fault = "下载时出现内部错误: boom";
  for (const Case& c : std::vector<Case>{{"one stream", false, false, false},
                                         {"a range connection", true, false, false},
                                         {"the hashing thread", true, true, false},
                                         {"a group's download thread", true, false, true}}) {
    SCOPED_TRACE(c.name);
    UseLog(base::Utf8ToWide(c.name) + L".log");
    pauses.clear();
    DeleteFileW(Target(L"boom.wim").c_str());
    RemovePartRecord(Target(L"boom.wim"));
    DownloadCallbacks callbacks;
    (c.onVerify ? callbacks.onVerify : callbacks.onTransfer) = boom;
    const DownloadOptions options = c.ranges ? SmallRanges() : DownloadOptions();
    std::string error;
    if (c.group) {
      const DownloadProgressSink sink = [](const std::string&, const std::string&, int value) {
        if (value > 0) throw std::runtime_error("boom");
      };
      EXPECT_FALSE(DownloadGroup({Job("boom.wim", md5)}, sink, 0, 100, &error, Pauses(), options));
      EXPECT_EQ(error, "下载boom.wim失败: " + fault);
    } else {
      EXPECT_FALSE(DownloadVerified(Job("boom.wim", md5), callbacks, &error, Pauses(), options));
      EXPECT_EQ(error, fault);
    }
    EXPECT_TRUE(pauses.empty());
    const std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "T [ERROR] " + fault + ": " + Utf8Target(L"boom.wim"));
  }
}

// A connection that trickles is cut once a window brought too little, and what it was fetching goes on from where
// it stopped: the range alone, or the stream in the next attempt. Over both kinds of connection.
TEST_F(RangedDownloadTest, AConnectionThatTricklesIsCutAndResumed) {
  const std::string content = GeneratedBytes(59, 400000);
  const std::string md5 = server.PutFile("slow.esd", content);
  const std::string stall = "下载停滞: 连接在 1500 毫秒内收到的数据不足 64 KiB，已断开";
  struct Case {
    const char* name;
    bool direct;
    bool ranges;
  };
  for (const Case& c : std::vector<Case>{{"one stream over our own connection", true, false},
                                         {"one stream through WinHTTP", false, false},
                                         {"a range over our own connection", true, true},
                                         {"a range through WinHTTP", false, true}}) {
    SCOPED_TRACE(c.name);
    UseLog(base::Utf8ToWide(c.name) + L".log");
    pauses.clear();
    DeleteFileW(Target(L"slow.esd").c_str());
    server.ClearRules();
    // After 5000 bytes one byte every 50 ms, far below 64 KiB in 1.5 s.
    server.AddRule({.path = "/files/slow.esd", .times = 1, .range = c.ranges ? "bytes=100000-199999" : "",
                    .stallAfter = 5000, .trickleMs = 50});
    const size_t before = server.Requests().size();
    DownloadOptions options = c.ranges ? SmallRanges() : DownloadOptions();
    options.directHttp = c.direct;
    options.stallWindowMs = 1500;
    std::string error;
    ASSERT_TRUE(DownloadVerified(Job("slow.esd", md5), Recorder(), &error, Pauses(), options)) << error;
    EXPECT_TRUE(Read(L"slow.esd") == content);
    // Where the cut connection stopped: what came before the trickle, and a few trickled bytes.
    const std::vector<std::string> lines = LogLines();
    const std::string retried = c.ranges ? "T [WARN] 分段下载失败，单独重新获取 bytes=" : "";
    uint64_t stopped = 0;
    if (c.ranges) {
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[0], RangedLine(L"slow.esd", 400000));
      stopped = std::stoull(lines[1].substr(retried.size()));
      EXPECT_EQ(lines[1], retried + std::to_string(stopped) + "-199999: " + stall);
      EXPECT_TRUE(pauses.empty());
    } else {
      EXPECT_EQ(lines, std::vector<std::string>{"T [WARN] 下载失败(第 1/5 次尝试): " + stall});
      EXPECT_EQ(pauses, std::vector<uint32_t>{2000});
      const auto requests = server.Requests();
      ASSERT_EQ(requests.size(), before + 2);
      stopped = std::stoull(requests.back().Header("Range").substr(6));
      EXPECT_EQ(requests.back().Header("Range"), "bytes=" + std::to_string(stopped) + "-");
    }
    const uint64_t begin = c.ranges ? 100000 : 0;
    EXPECT_GE(stopped, begin + 5000);
    EXPECT_LT(stopped, begin + 5000 + 1000);
  }
}

}  // namespace
}  // namespace pl::net
