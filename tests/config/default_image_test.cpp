#include "config/default_image.h"

#include <gtest/gtest.h>

namespace pl::config {
namespace {

OsImageEntry Image(const std::string& url, int32_t index) {
  OsImageEntry entry;
  entry.url = url;
  entry.imageIndex = index;
  return entry;
}

TEST(SystemEditionTest, ProductTypesMapToEditionClasses) {
  for (uint32_t type : {2u, 3u, 5u, 26u, 98u, 100u, 101u}) {
    EXPECT_EQ(EditionFromProductType(type), EditionClass::Home) << type;
  }
  for (uint32_t type : {48u, 49u}) EXPECT_EQ(EditionFromProductType(type), EditionClass::Professional) << type;
  for (uint32_t type : {4u, 27u}) EXPECT_EQ(EditionFromProductType(type), EditionClass::Enterprise) << type;
  for (uint32_t type : {125u, 126u}) EXPECT_EQ(EditionFromProductType(type), EditionClass::Ltsc) << type;
  for (uint32_t type : {0u, 1u, 6u, 7u, 47u, 50u, 99u, 121u, 0xABCDu}) {
    EXPECT_EQ(EditionFromProductType(type), EditionClass::Unknown) << type;
  }

  SystemEditionInfo info = SystemEditionFrom(22000, true, 48);
  EXPECT_TRUE(info.isWin11);
  EXPECT_EQ(info.edition, EditionClass::Professional);
  EXPECT_EQ(info.build, 22000);
  info = SystemEditionFrom(21999, true, 125);
  EXPECT_FALSE(info.isWin11);
  EXPECT_EQ(info.edition, EditionClass::Ltsc);
  info = SystemEditionFrom(19045, false, 48);  // GetProductInfo failed
  EXPECT_EQ(info.edition, EditionClass::Unknown);
  EXPECT_EQ(info.build, 19045);

  // The test prefix is a Windows 10.
  info = DetectSystemEdition();
  EXPECT_GE(info.build, 10240);
  EXPECT_FALSE(info.isWin11);
}

TEST(PickDefaultImageTest, FamilyEditionAndLtscPreference) {
  const std::vector<OsImageEntry> images = {
      Image("http://d/Win10_22H2.wim", 1),      // 0
      Image("http://d/WIN11_23h2.wim", 2),      // 1
      Image("http://d/win10_LTSC_2021.wim", 1), // 2
      Image("http://d/win11_23h2.wim", 1),      // 3
      Image("http://d/win10_22h2.wim", 2),      // 4
      Image("http://d/win11_ent.wim", 3),       // 5
      Image("http://d/win11_ltsc.wim", 2),      // 6
  };
  auto pick = [&](bool win11, EditionClass edition) {
    return PickDefaultImage(images, {win11, edition, win11 ? 22631 : 19045});
  };
  EXPECT_EQ(pick(true, EditionClass::Professional), 1u);
  EXPECT_EQ(pick(true, EditionClass::Home), 3u);
  EXPECT_EQ(pick(true, EditionClass::Unknown), 3u);
  EXPECT_EQ(pick(true, EditionClass::Enterprise), 5u);
  EXPECT_EQ(pick(false, EditionClass::Professional), 4u);
  EXPECT_EQ(pick(false, EditionClass::Home), 0u);
  EXPECT_EQ(pick(false, EditionClass::Enterprise), 0u);  // no Windows 10 enterprise image
  EXPECT_EQ(pick(false, EditionClass::Ltsc), 2u);        // the first LTSC image, whatever the family
  EXPECT_EQ(pick(true, EditionClass::Ltsc), 2u);
  EXPECT_EQ(PickDefaultImage(images, SystemEditionFrom(22631, true, 48)), 1u);

  // No LTSC image: an LTSC system gets the family's edition 1.
  const std::vector<OsImageEntry> noLtsc = {Image("http://d/win10_pro.wim", 2), Image("http://d/win11_home.wim", 1),
                                            Image("http://d/win10_home.wim", 1)};
  EXPECT_EQ(PickDefaultImage(noLtsc, {false, EditionClass::Ltsc, 17763}), 2u);
  EXPECT_EQ(PickDefaultImage(noLtsc, {true, EditionClass::Ltsc, 22000}), 1u);
  // An LTSC image never serves another edition, even with the wanted index.
  const std::vector<OsImageEntry> ltscFirst = {Image("http://d/win11_ltsc.wim", 2), Image("http://d/win11.wim", 2)};
  EXPECT_EQ(PickDefaultImage(ltscFirst, {true, EditionClass::Professional, 22000}), 1u);
  EXPECT_EQ(PickDefaultImage({}, {true, EditionClass::Professional, 22000}), 0u);
  EXPECT_EQ(PickDefaultImage({Image("http://d/other.wim", 1)}, {}), 0u);
}

}  // namespace
}  // namespace pl::config
