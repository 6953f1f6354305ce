#pragma once
// The guard around a worker thread's body: nothing it throws may end the elevated process in the middle of a run.

#include <functional>
#include <string>

namespace pl::ui {

// Runs `body`; an exception it throws is logged at ERROR as `worker` + " 捕获到异常: " + its text (" 捕获到未知类型异常"
// for one of unknown type) and `onFailure` gets its text (empty for an unknown type) to post the job's failure in
// place of the work. What `onFailure` itself throws is logged and dropped.
void RunGuarded(const std::string& worker, const std::function<void()>& body,
                const std::function<void(const std::string& what)>& onFailure);

}  // namespace pl::ui
