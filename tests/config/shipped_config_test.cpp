// The configuration library built as a release build has it: the backend origin variable is never read, and the
// origin is HTTPS.

#include <gtest/gtest.h>

#include "config/service_config.h"
#include "log_capture.h"
#include "test_support.h"

namespace pl::config {
namespace {

using ShippedBackendTest = test::LoggedTest;

// The shipped program asks its backend over HTTPS only (WinHTTP with its certificate checks, which no setting of
// the program turns off): the catalog names what the next boot runs.
TEST_F(ShippedBackendTest, TheVariableIsIgnoredWithAWarningAndTheOriginIsHttps) {
  EXPECT_FALSE(BackendOverrideAllowed());
  {
    test::ScopedEnvironment unset(kBackendOriginVariable, L"", true);
    EXPECT_EQ(BackendUrl("/config"), L"https://api.pellora.example/reset/api/v1/config");
  }
  test::ScopedEnvironment set(kBackendOriginVariable, L"http://127.0.0.1:8123");
  EXPECT_EQ(BackendUrl("/config"), L"https://api.pellora.example/reset/api/v1/config");
  EXPECT_EQ(LogLines(), std::vector<std::string>{
                            "T [WARN] 此版本不读取环境变量 PL_BACKEND_ORIGIN，已忽略: http://127.0.0.1:8123"});
}

}  // namespace
}  // namespace pl::config
