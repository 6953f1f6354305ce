// The new system's setup stage on its own, in this process: an item whose download never matches its MD5 is
// skipped after the host's five attempts (the pauses between them recorded, not slept), and the rest goes on.
#include "deploy/setup_stage.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>

#include "base/file_tree.h"
#include "base/system_paths.h"
#include "base/text.h"
#include "pipeline/task_file.h"
#include "reporting/report_session.h"
#include "run_fixture.h"

namespace pl::deploy::test {
namespace {

using Lines = std::vector<std::string>;
using SetupStageTest = pipeline::test::RunFixture;

TEST_F(SetupStageTest, AnItemWhoseMd5NeverMatchesIsSkippedAndTheRestInstalled) {
  std::string installer;
  ASSERT_TRUE(pl::test::ReadFileBytes(base::Utf8ToWide(PL_FAKE_TOOL), &installer));
  const config::ResourceRef good = Serve("good.exe", installer);
  const config::ResourceRef bad = Serve("bad.exe", installer);
  const std::wstring scripts = temp.Child(L"Scripts");
  const std::wstring folder = scripts + L"\\pl";
  ASSERT_TRUE(base::CreateDirectoryTree(folder));
  pipeline::DeployTask setup;
  setup.sessionId = reporting::CreateReportSession("win11_pro", "0.1.0");
  setup.oemProductKey = pipeline::test::kProductKey;
  setup.osDisplayName = "Windows 11 专业版";
  ASSERT_TRUE(pipeline::WriteTaskFile(folder + L"\\setup.ini", setup,
                                      {{"bad", "bad.exe", "/q", bad.url, "0123456789abcdef0123456789abcdef", "坏的"},
                                       {"good", "good.exe", "/S /D=x", good.url, good.md5, "好的"}}));
  ASSERT_TRUE(pipeline::WriteWishlistFile(folder + L"\\software_wishlist.ini", {"7-Zip 23.01 (x64)", "Notepad++"}));
  ASSERT_TRUE(pl::test::WriteFileBytes(folder + L"\\Kavrin.exe", "MZ installed copy"));
  ASSERT_TRUE(pl::test::WriteFileBytes(scripts + L"\\SetupComplete.cmd", SetupHookText()));
  std::vector<std::wstring> installed;
  const SetupOptions options = {
      .folder = folder,
      .retryPause = [this](uint32_t ms) { pauses.push_back(ms); },
      .publicDesktop = temp.path,
      .selfInstall =
          [&](const std::wstring& program, std::string*) {
            installed.push_back(program);
            return true;
          },
  };

  EXPECT_EQ(RunSetupStage(options), 0);

  EXPECT_EQ(pauses, (std::vector<uint32_t>{2000, 4000, 8000, 16000}));
  EXPECT_EQ(installed, std::vector<std::wstring>{folder + L"\\Kavrin.exe"});
  Lines calls;
  for (const pl::test::FakeToolCall& call : fake.Calls()) calls.push_back(call.tool + " " + call.arguments);
  const std::string system = base::WideToUtf8(base::SystemDirectoryPath());
  EXPECT_EQ(calls, (Lines{"cscript //nologo \"" + system + "\\slmgr.vbs\" /ipk " + pipeline::test::kProductKey,
                          "good /S /D=x"}));
  std::string bytes;
  ASSERT_TRUE(pl::test::ReadFileBytes(folder + L"\\pl_setup.log", &bytes));
  std::string digest = good.md5;  // as the download reports it: upper case
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string md5Failure = "MD5 校验失败（期望 0123456789abcdef0123456789abcdef，实际 " + digest + "）";
  Lines expected = {"T [INFO] SetupComplete.cmd 启动了新系统首次启动设置: pl_pe.exe --setup",
                    "T [INFO] 新系统: Windows 11 专业版，上报 session: " + setup.sessionId,
                    "T [INFO] 安装产品密钥（slmgr.vbs /ipk，密钥尾号 3V66T）",
                    "T [INFO] 产品密钥已安装",
                    "T [INFO] 下载 坏的: " + bad.url};
  for (int attempt = 1; attempt <= 5; ++attempt) {
    expected.push_back("T [WARN] 下载失败(第 " + std::to_string(attempt) + "/5 次尝试): " + md5Failure);
  }
  const std::string downloads = base::WideToUtf8(folder) + "\\downloads";
  for (const std::string& line : {
           "T [WARN] 下载 坏的 失败，跳过: " + md5Failure,
           "T [INFO] 下载 好的: " + good.url,
           "T [INFO] 安装 好的: \"" + downloads + "\\good.exe\" /S /D=x",
           std::string("T [INFO] 好的 的安装程序结束, exitCode=0"),
           std::string("T [INFO] 软件安装结束: 1 个装上，1 个没装上"),
           std::string("T [INFO] 已安装 Kavrin.exe（桌面快捷方式和卸载项）"),
           "T [INFO] 已把 2 项软件清单放到公共桌面: " + base::WideToUtf8(temp.Child(L"原系统软件清单.txt")),
           std::string("T [INFO] 已删除本程序挂的 SetupComplete.cmd 钩子"),
           std::string("T [INFO] 已清理下载的安装程序（还被占用的重启后删除）"),
           std::string("T [INFO] 新系统首次启动设置结束，退出码 0"),
       }) {
    expected.push_back(line);
  }
  EXPECT_EQ(pl::test::LogLinesWithoutTime(bytes), expected);
  ASSERT_TRUE(pl::test::ReadFileBytes(temp.Child(L"原系统软件清单.txt"), &bytes));
  EXPECT_EQ(bytes, "\xEF\xBB\xBF下面这些软件是原来的系统里装过、这次没有自动装上的，需要的话请自行下载安装：\r\n\r\n"
                   "7-Zip 23.01 (x64)\r\nNotepad++\r\n");
  EXPECT_FALSE(pl::test::FileExists(scripts + L"\\SetupComplete.cmd"));
  EXPECT_FALSE(pl::test::FileExists(folder + L"\\setup.ini"));  // it holds the key
  EXPECT_EQ(Reports(), (Lines{"create win11_pro", "event setup_product_key started", "event setup_product_key success",
                              "event setup_software started", "error setup_software 下载 坏的 失败，跳过: " + md5Failure,
                              "event setup_software failed 1 个软件没有装上", "event setup_self_install started",
                              "event setup_self_install success", "event setup_wishlist started",
                              "event setup_wishlist success", "event setup_finish success"}));
}

}  // namespace
}  // namespace pl::deploy::test
