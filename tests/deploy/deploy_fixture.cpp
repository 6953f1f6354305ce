#include "deploy_fixture.h"

#include <functional>

#include "base/text.h"
#include "deploy/deployer_window.h"
#include "test_support.h"

namespace pl::deploy::test {

DeployFixture::~DeployFixture() { deployer.Terminate(); }

void DeployFixture::RestartIntoPe() {
  systemDrive.Unmap();
  dataDrive.Unmap();
  target.emplace(L'G', systemFolder.path);
  data.emplace(L'H', dataFolder.path);
  EXPECT_TRUE(target->mapped && data->mapped);
  pe.emplace();
  EXPECT_TRUE(pe->created);
  hostCalls = fake.Calls().size();
  hostReports = Reports().size();
  fake.rules.clear();  // the host's answers would shadow the PE's
}

void DeployFixture::AnswerPeToolsAsUsual() {
  fake.Add({.tool = "bcdedit", .match = "/enum {current} /v",
            .output = "Windows Boot Loader\r\n-------------------\r\nidentifier              " +
                      std::string(pipeline::test::kEntryId) + "\r\ndevice                  ramdisk=[S:]\\x\r\n"});
  fake.Add({.tool = "bcdedit", .match = "/enum {bootmgr}",
            .output = "Windows Boot Manager\r\n--------------------\r\nidentifier              {bootmgr}\r\n"
                      "device                  partition=G:\r\n"});
  fake.Add({.tool = "dism", .match = "/Apply-Image *", .output = kProgress});
  fake.Add({.tool = "format", .output = "Format complete.\r\n"});
}

void DeployFixture::StartDeployer(const std::wstring& arguments) {
  ASSERT_TRUE(deployer.Start(base::Utf8ToWide(PL_PE_EXE), arguments, {{L"TEMP", temp.path}, {L"TMP", temp.path}}));
}

long DeployFixture::DeployerExit() { return deployer.WaitForExit(240000); }

HWND DeployFixture::FailureWindow() {
  HWND window = pl::test::WaitForWindow(kDeployerWindowClass, deployer.processId, 120000);
  for (int waited = 0; window != nullptr && waited < 240000 && !pl::test::ControlVisible(window, kDeployerCloseId);
       waited += 50) {
    Sleep(50);
  }
  return window;
}

std::vector<std::string> DeployFixture::PeCalls() const {
  std::vector<std::string> calls;
  const std::vector<pl::test::FakeToolCall> all = fake.Calls();
  for (size_t i = hostCalls; i < all.size(); ++i) calls.push_back(all[i].tool + " " + all[i].arguments);
  return calls;
}

std::vector<std::string> DeployFixture::PeReports() const {
  const std::vector<std::string> all = Reports();
  return {all.begin() + static_cast<ptrdiff_t>(std::min(hostReports, all.size())), all.end()};
}

std::vector<std::string> DeployFixture::PeLog(const std::wstring& folder) const {
  std::string bytes;
  pl::test::ReadFileBytes(folder + L"\\$PelloraData$\\pl_pe.log", &bytes);
  return pl::test::LogLinesWithoutTime(bytes);
}

}  // namespace pl::deploy::test
