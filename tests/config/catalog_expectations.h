#pragma once
// What the JSON and the INI test catalogs share: the same first install item and the same resource URLs.

#include <gtest/gtest.h>

#include "config/service_config.h"

namespace pl::config {

inline void ExpectSharedItemAndResourceUrls(const ServiceConfig& config) {
  ASSERT_EQ(config.installItems.size(), 2u);
  EXPECT_EQ(config.installItems[0].key, "wx");
  EXPECT_EQ(config.installItems[0].fileName, "wx.exe");
  EXPECT_EQ(config.installItems[0].params, "/S");
  EXPECT_EQ(config.installItems[0].url, "http://d/wx.exe");
  EXPECT_EQ(config.installItems[0].md5, "M");
  EXPECT_EQ(config.installItems[0].displayName, "微信");
  EXPECT_EQ(config.installItems[1].displayName, "");
  EXPECT_EQ(config.exResources.pe.url, "http://d/pe.wim");
  EXPECT_EQ(config.exResources.drv.url, "http://d/t.zip");
  EXPECT_EQ(config.exResources.sdi.url, "http://d/boot.sdi");
}

}  // namespace pl::config
