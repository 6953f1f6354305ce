#pragma once
// How GoogleTest shows the records tests compare whole (EXPECT_EQ on records with a defaulted operator==): every
// field by name, texts as UTF-8. A record that gets an operator== for tests gets its printer here.

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "base/secure_directory.h"
#include "base/text.h"
#include "boot/pe_boot_entry.h"
#include "config/default_image.h"
#include "config/ini_document.h"
#include "config/service_config.h"
#include "disks/inventory.h"
#include "deploy/deploy_run.h"
#include "deploy/deploy_task.h"
#include "deploy/deployer_entry.h"
#include "deploy/target_choice.h"
#include "disks/layout_rules.h"
#include "disks/planner.h"
#include "inspect/system_info.h"
#include "net/download.h"
#include "net/http.h"
#include "pipeline/target_marker.h"
#include "pipeline/task_file.h"
#include "reporting/diagnosis.h"
#include "software/installed_software.h"
#include "test_support.h"
#include "tools/tool_runner.h"
#include "usb/usb_format.h"
#include "usb/usb_maker.h"

namespace pl::test {

// Writes "Name{field=value, ...}" field by field; the closing brace at the end of the statement.
class RecordPrinter {
 public:
  RecordPrinter(std::ostream* os, const char* name) : os_(os) { *os_ << name << '{'; }
  ~RecordPrinter() { *os_ << '}'; }
  RecordPrinter(const RecordPrinter&) = delete;
  RecordPrinter& operator=(const RecordPrinter&) = delete;

  template <typename T>
  RecordPrinter& operator()(const char* field, const T& value) {
    *os_ << (first_ ? "" : ", ") << field << '=';
    first_ = false;
    Value(value);
    return *this;
  }

 private:
  void Value(const std::string& text) { *os_ << '"' << text << '"'; }
  void Value(const std::wstring& text) { *os_ << "L\"" << base::WideToUtf8(text) << '"'; }
  void Value(wchar_t unit) {
    if (unit == 0) {
      *os_ << '0';
    } else {
      *os_ << "L'" << base::WideToUtf8(std::wstring(1, unit)) << '\'';
    }
  }
  void Value(bool flag) { *os_ << (flag ? "true" : "false"); }
  template <typename T>
  void Value(const T& value) {
    *os_ << ::testing::PrintToString(value);
  }

  std::ostream* os_;
  bool first_ = true;
};

inline void PrintTo(const FakeToolCall& c, std::ostream* os) {
  RecordPrinter(os, "FakeToolCall")("tool", c.tool)("commandLine", c.commandLine)("arguments", c.arguments)(
      "workingDirectory", c.workingDirectory)("hasScript", c.hasScript)("script", c.script)(
      "environment", c.environment)("rule", c.rule);
}

}  // namespace pl::test

namespace pl::tools {

inline void PrintTo(const ToolRunResult& r, std::ostream* os) {
  pl::test::RecordPrinter(os, "ToolRunResult")("started", r.started)("exitCode", r.exitCode)("output", r.output);
}
inline void PrintTo(const LaunchResult& r, std::ostream* os) {
  pl::test::RecordPrinter(os, "LaunchResult")("started", r.started)("timedOut", r.timedOut)("exitCode", r.exitCode);
}

}  // namespace pl::tools

namespace pl::base {

inline void PrintTo(const FolderProtection& p, std::ostream* os) {
  pl::test::RecordPrinter(os, "FolderProtection")("error", p.error)("path", p.path);
}

}  // namespace pl::base

namespace pl::disks {

inline void PrintTo(const RunningSystemDriveChoice& c, std::ostream* os) {
  pl::test::RecordPrinter(os, "RunningSystemDriveChoice")("letter", c.letter)("warning", c.warning);
}

inline void PrintTo(const StagingPlan& p, std::ostream* os) {
  pl::test::RecordPrinter(os, "StagingPlan")("ok", p.ok)("bootDir", p.bootDir)("dataDir", p.dataDir)("error", p.error)(
      "shrankSystemVolume", p.shrankSystemVolume)("createdStagePartition", p.createdStagePartition);
}
inline void PrintTo(const StagingFeasibility& f, std::ostream* os) {
  pl::test::RecordPrinter(os, "StagingFeasibility")("otherVolumeAvailable", f.otherVolumeAvailable)(
      "unallocatedAvailable", f.unallocatedAvailable)("systemShrinkable", f.systemShrinkable)(
      "bitLockerBlockedLetter", f.bitLockerBlockedLetter);
}
inline void PrintTo(const VolumeInfo& v, std::ostream* os) {
  pl::test::RecordPrinter(os, "VolumeInfo")("letter", v.letter)("label", v.label)("fileSystem", v.fileSystem)(
      "totalBytes", v.totalBytes)("freeBytes", v.freeBytes)("diskNumber", v.diskNumber);
}
inline void PrintTo(const UnmountedVolume& v, std::ostream* os) {
  pl::test::RecordPrinter(os, "UnmountedVolume")("volumePath", v.volumePath)("label", v.label)(
      "freeBytes", v.freeBytes)("totalBytes", v.totalBytes);
}
inline void PrintTo(const PartitionEntry& p, std::ostream* os) {
  pl::test::RecordPrinter(os, "PartitionEntry")("start", p.start)("length", p.length)("gptType", p.gptType)(
      "bootIndicator", p.bootIndicator);
}
inline void PrintTo(const DiskLayout& l, std::ostream* os) {
  pl::test::RecordPrinter(os, "DiskLayout")("style", static_cast<int>(l.style))("partitions", l.partitions);
}

}  // namespace pl::disks

namespace pl::boot {

inline void PrintTo(const BootDefaults& d, std::ostream* os) {
  pl::test::RecordPrinter(os, "BootDefaults")("defaultId", d.defaultId)("timeoutSeconds", d.timeoutSeconds);
}
inline void PrintTo(const BootEntryResult& r, std::ostream* os) {
  pl::test::RecordPrinter(os, "BootEntryResult")("ok", r.ok)("entryId", r.entryId)("error", r.error)("previous",
                                                                                                        r.previous);
}
inline void PrintTo(const DevicePath& p, std::ostream* os) {
  pl::test::RecordPrinter(os, "DevicePath")("device", p.device)("rest", p.rest);
}

}  // namespace pl::boot

namespace pl::config {

inline void PrintTo(const OsImageEntry& e, std::ostream* os) {
  pl::test::RecordPrinter(os, "OsImageEntry")("key", e.key)("displayName", e.displayName)("url", e.url)(
      "imageIndex", e.imageIndex)("md5", e.md5)("version", e.version)("updateDate", e.updateDate)("sizeGb", e.sizeGb);
}
inline void PrintTo(const InstallItem& i, std::ostream* os) {
  pl::test::RecordPrinter(os, "InstallItem")("key", i.key)("fileName", i.fileName)("params", i.params)("url", i.url)(
      "md5", i.md5)("displayName", i.displayName);
}
inline void PrintTo(const ResourceRef& r, std::ostream* os) {
  pl::test::RecordPrinter(os, "ResourceRef")("url", r.url)("md5", r.md5);
}
inline void PrintTo(const ExResources& r, std::ostream* os) {
  pl::test::RecordPrinter(os, "ExResources")("pe", r.pe)("drv", r.drv)("sdi", r.sdi);
}
inline void PrintTo(const ServiceConfig& c, std::ostream* os) {
  pl::test::RecordPrinter(os, "ServiceConfig")("ok", c.ok)("error", c.error)("osImages", c.osImages)(
      "installItems", c.installItems)("exResources", c.exResources);
}
inline void PrintTo(const BackendOriginChoice& c, std::ostream* os) {
  pl::test::RecordPrinter(os, "BackendOriginChoice")("origin", c.origin)("warning", c.warning);
}
inline void PrintTo(const SystemEditionInfo& i, std::ostream* os) {
  pl::test::RecordPrinter(os, "SystemEditionInfo")("isWin11", i.isWin11)("edition", static_cast<int>(i.edition))(
      "build", i.build);
}
inline void PrintTo(const IniSection& s, std::ostream* os) {
  pl::test::RecordPrinter(os, "IniSection")("name", s.name)("pairs", s.pairs);
}
inline void PrintTo(const IniDocument& d, std::ostream* os) {
  pl::test::RecordPrinter(os, "IniDocument")("sections", d.sections);
}

}  // namespace pl::config

namespace pl::net {

inline void PrintTo(const HttpHeader& h, std::ostream* os) {
  pl::test::RecordPrinter(os, "HttpHeader")("name", h.name)("value", h.value);
}
inline void PrintTo(const HttpResponse& r, std::ostream* os) {
  pl::test::RecordPrinter(os, "HttpResponse")("ok", r.ok)("status", r.status)("body", r.body)("error", r.error);
}
inline void PrintTo(const JobProgress& p, std::ostream* os) {
  pl::test::RecordPrinter(os, "JobProgress")("done", p.done)("total", p.total)("hashed", p.hashed)(
      "verified", p.verified);
}

}  // namespace pl::net

namespace pl::reporting {

inline void PrintTo(const DiagnosisPoll& p, std::ostream* os) {
  pl::test::RecordPrinter(os, "DiagnosisPoll")("status", p.status)("hasRound", p.hasRound)(
      "roundNumber", p.roundNumber)("advice", p.advice)("suggestedAction", p.suggestedAction)(
      "commandToRun", p.commandToRun);
}

}  // namespace pl::reporting

namespace pl::inspect {

inline void PrintTo(const EnvironmentSummary& s, std::ostream* os) {
  pl::test::RecordPrinter(os, "EnvironmentSummary")("osText", s.osText)("cpuText", s.cpuText)(
      "memoryText", s.memoryText)("systemDriveText", s.systemDriveText)("partitionText", s.partitionText)(
      "secureBootText", s.secureBootText)("motherboardText", s.motherboardText)("diskText", s.diskText)(
      "networkText", s.networkText)("systemBitLockerOn", s.systemBitLockerOn)("staging", s.staging);
}

}  // namespace pl::inspect

namespace pl::software {

inline void PrintTo(const InstalledSoftwareEntry& e, std::ostream* os) {
  pl::test::RecordPrinter(os, "InstalledSoftwareEntry")("name", e.name);
}

}  // namespace pl::software

namespace pl::usb {

inline void PrintTo(const UsbDriveInfo& d, std::ostream* os) {
  pl::test::RecordPrinter(os, "UsbDriveInfo")("diskNumber", d.diskNumber)("name", d.name)("sizeGb", d.sizeGb);
}
inline void PrintTo(const UsbDriveScan& s, std::ostream* os) {
  pl::test::RecordPrinter(os, "UsbDriveScan")("drives", s.drives)("notice", s.notice);
}
inline void PrintTo(const UsbFormatResult& r, std::ostream* os) {
  pl::test::RecordPrinter(os, "UsbFormatResult")("ok", r.ok)("peLetter", r.peLetter)("dataLetter", r.dataLetter)(
      "error", r.error)("diskChanged", r.diskChanged);
}
inline void PrintTo(const UsbMakeResult& r, std::ostream* os) {
  pl::test::RecordPrinter(os, "UsbMakeResult")("ok", r.ok)("error", r.error)("sessionId", r.sessionId);
}

}  // namespace pl::usb

namespace pl::pipeline {

inline void PrintTo(const TransferBytes& b, std::ostream* os) {
  pl::test::RecordPrinter(os, "TransferBytes")("done", b.done)("total", b.total)("received", b.received);
}

inline void PrintTo(const DeployTask& t, std::ostream* os) {
  pl::test::RecordPrinter(os, "DeployTask")("targetVolumeGuid", t.targetVolumeGuid)("firmware", t.firmware)(
      "imagePath", t.imagePath)("imageIndex", t.imageIndex)("toolsPath", t.toolsPath)("stagingDir", t.stagingDir)(
      "peBootId", t.peBootId)("sessionId", t.sessionId)("oemProductKey", t.oemProductKey)(
      "driverBackupPath", t.driverBackupPath)("osDisplayName", t.osDisplayName)("mode", t.mode)(
      "captureDestPath", t.captureDestPath)("isRestore", t.isRestore);
}
inline void PrintTo(const TargetMarker& m, std::ostream* os) {
  pl::test::RecordPrinter(os, "TargetMarker")("peBootId", m.peBootId)("sessionId", m.sessionId)(
      "previousDefault", m.previousDefault)("previousTimeout", m.previousTimeout);
}

}  // namespace pl::pipeline

namespace pl::deploy {

inline void PrintTo(const TaskChoice& c, std::ostream* os) {
  pl::test::RecordPrinter(os, "TaskChoice")("index", c.index)("error", c.error);
}
inline void PrintTo(const VolumeFacts& v, std::ostream* os) {
  pl::test::RecordPrinter(os, "VolumeFacts")("letter", v.letter)("guidPath", v.guidPath)("fixed", v.fixed)(
      "removable", v.removable)("label", v.label)("totalBytes", v.totalBytes)("windows", v.windows)(
      "hasMarker", v.hasMarker)("marker", v.marker);
}
inline void PrintTo(const TargetChoice& c, std::ostream* os) {
  pl::test::RecordPrinter(os, "TargetChoice")("letter", c.letter)("how", c.how)("error", c.error);
}
inline void PrintTo(const PeArguments& a, std::ostream* os) {
  pl::test::RecordPrinter(os, "PeArguments")("dryRun", a.dryRun)("setup", a.setup)("taskPath", a.taskPath)(
      "error", a.error);
}
inline void PrintTo(const DeployOutcome& o, std::ostream* os) {
  pl::test::RecordPrinter(os, "DeployOutcome")("exitCode", o.exitCode)("error", o.error)("logPath", o.logPath);
}

}  // namespace pl::deploy
