#include "net/download.h"

#include <windows.h>

#include <mutex>

#include <gtest/gtest.h>

#include "base/text.h"
#include "devserver_client.h"
#include "log_capture.h"
#include "sparse_file.h"
#include "test_support.h"

namespace pl::net {
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
  server.AddRule({.path = "/files/big.bin", .times = 1, .cutAfter = 70000});
  server.AddRule({.path = "/files/big.bin", .times = 1, .drop = true});
  std::string error;
  ASSERT_TRUE(DownloadVerified(server.Url("/files/big.bin"), Target(L"big.bin"), md5, Recorder(), &error, Pauses()))
      << error;
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].HeaderCount("Range"), 0u);
  EXPECT_EQ(requests[1].Header("Range"), "bytes=70000-");
  EXPECT_EQ(requests[2].Header("Range"), "bytes=70000-");
  EXPECT_TRUE(Read(L"big.bin") == content);
  EXPECT_EQ(pauses, (std::vector<uint32_t>{2000, 4000}));
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "T [WARN] 下载失败(第 1/5 次尝试): 下载中断: 已收到 70000 字节，应为 200000 字节");
  EXPECT_EQ(lines[1].rfind("T [WARN] 下载失败(第 2/5 次尝试): WinHttpReceiveResponse 失败: ", 0), 0u) << lines[1];
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

TEST_F(DownloadFixture, GroupProgressFromSeveralThreadsRisesOnceThroughEachValue) {
  struct Call {
    std::string stage;
    std::string message;
    int value;
    DWORD thread;
  };
  std::vector<Call> calls;
  std::mutex callsMutex;
  const DownloadProgressSink sink = [&](const std::string& stage, const std::string& message, int value) {
    std::lock_guard<std::mutex> lock(callsMutex);
    calls.push_back({stage, message, value, GetCurrentThreadId()});
  };
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
  ASSERT_TRUE(DownloadGroup(jobs, sink, 5, 78, &error, Pauses())) << error;
  EXPECT_TRUE(Read(L"a") == a);
  EXPECT_TRUE(Read(L"b") == b);
  EXPECT_TRUE(Read(L"c") == c);

  ASSERT_GE(calls.size(), 3u);
  int lastValue = -1;
  int lastPercent = -1;
  for (const Call& call : calls) {
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

}  // namespace
}  // namespace pl::net
