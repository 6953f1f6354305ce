#include "ui/worker_guard.h"

#include <exception>

#include "log/log.h"

namespace pl::ui {
namespace {

// Logs what was thrown and returns its text; empty for an unknown type.
std::string LogCaught(const std::string& worker, const std::exception_ptr& caught) {
  try {
    std::rethrow_exception(caught);
  } catch (const std::exception& error) {
    log::LogError(worker + " 捕获到异常: " + error.what());
    return error.what();
  } catch (...) {
    log::LogError(worker + " 捕获到未知类型异常");
    return "";
  }
}

}  // namespace

void RunGuarded(const std::string& worker, const std::function<void()>& body,
                const std::function<void(const std::string& what)>& onFailure) {
  std::exception_ptr caught;
  try {
    body();
    return;
  } catch (...) {
    caught = std::current_exception();
  }
  try {
    onFailure(LogCaught(worker, caught));
  } catch (...) {
    try {
      LogCaught(worker, std::current_exception());
    } catch (...) {  // not even the log: nothing more to do, but the thread ends normally
    }
  }
}

}  // namespace pl::ui
