#include "pipeline/image_check.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "run_fixture.h"
#include "wim_builder.h"

namespace pl::pipeline::test {
namespace {

using Lines = std::vector<std::string>;

struct CheckOsImageTest : pl::test::LoggedTest {};

// The check's lines and the run's message naming the file, per kind of file. A missing index, a missing file and
// the dry-run are in the runs' tests.
TEST_F(CheckOsImageTest, NamesTheFileAndWhatIsWrong) {
  std::string split = RunFixture::OsImage(3, 0);
  archive::test::Put16(&split, archive::test::kWimTotalPartsAt, 2);
  const struct {
    const char* name;
    std::string bytes;
    std::string problem;  // after "系统镜像检查失败（<path>）: "; empty when the check passes
  } cases[] = {
      {"Found", RunFixture::OsImage(3, 0), ""},
      {"NotAWim", std::string(300, 'x'), "不是 WIM/ESD 镜像文件"},
      {"Split", split, "分卷 WIM（第 1/2 卷），不能单独应用"},
  };
  for (const auto& c : cases) {
    UseLog(base::Utf8ToWide(c.name) + L".log");
    const std::wstring path = temp.Child(base::Utf8ToWide(c.name) + L".wim");
    ASSERT_TRUE(pl::test::WriteFileBytes(path, c.bytes));
    RunState run(false, {}, LivePipelineMachine());
    const bool ok = CheckOsImage(run, path, 2, {"系统镜像", "download"});

    const std::string file = base::WideToUtf8(path);
    const std::string message = c.problem.empty() ? "" : "系统镜像检查失败（" + file + "）: " + c.problem;
    const std::string edition = ok ? "Windows 11 Pro 2（Professional，x64）" : "";
    EXPECT_EQ(ok, message.empty()) << c.name;
    EXPECT_EQ(run.result.error, message) << c.name;
    EXPECT_EQ(run.result.imageEdition, edition) << c.name;
    Lines log = {"T [INFO] 正在检查系统镜像: " + file};
    if (ok) {
      log.push_back("T [INFO] 系统镜像检查通过，将部署第 2 号映像: " + edition);
    } else {
      log.push_back("T [ERROR] " + message);
      log.push_back("T [WARN] 没有可用的上报 session，错误信息只能留在本地日志: stage=download, message=" + message);
    }
    EXPECT_EQ(LogLines(), log) << c.name;
  }
}

}  // namespace
}  // namespace pl::pipeline::test
