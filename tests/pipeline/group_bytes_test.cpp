// A download group's bytes from its jobs' own reports, as the runs hand them beside the progress.

#include <gtest/gtest.h>

#include <optional>

#include "pipeline/pipeline_common.h"
#include "printers.h"

namespace pl::pipeline {
namespace {

TEST(GroupBytesTest, ReportsAddUpAndAreSentAtMostEveryInterval) {
  // The image has a size hint, the tools none until their transfer tells.
  GroupBytes group = StartGroupBytes({{.label = "系统镜像", .sizeHint = 100}, {.label = "工具包"}});
  struct Step {
    size_t job;
    uint64_t done, total, ms;
    std::optional<TransferBytes> sent;
  };
  const Step steps[] = {
      {0, 40, 120, 1000, TransferBytes{40, 0, 0}},      // a resumed image: nothing received yet, the tools' size unknown
      {1, 0, 50, 1100, std::nullopt},                   // too soon to send
      {0, 60, 0, 1250, TransferBytes{60, 170, 20}},     // the image's gain is received; its size stays
      {1, 30, 50, 1400, std::nullopt},
      {1, 10, 50, 1500, TransferBytes{70, 170, 50}},    // the tools start afresh: no gain
      {2, 99, 99, 5000, std::nullopt},                  // a job the group does not have
      {1, 50, 50, 1600, std::nullopt},
      {0, 120, 120, 1750, TransferBytes{170, 170, 150}},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(TakeJobBytes(&group, step.job, step.done, step.total, step.ms), step.sent) << step.ms;
  }
  EXPECT_EQ(GroupTotals(group), (TransferBytes{170, 170, 150}));
}

}  // namespace
}  // namespace pl::pipeline
