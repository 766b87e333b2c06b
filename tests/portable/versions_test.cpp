// Version normalisation and comparison, installer exit texts.
#include <gtest/gtest.h>

#include "app/agent_update.h"

TEST(Versions, NormalizeKeepsShortTextsAndCutsLongOnesToThreeParts) {
  EXPECT_EQ(app::NormalizeVersion("1.2.3.4"), "1.2.3");
  EXPECT_EQ(app::NormalizeVersion("1.2.3.4.5"), "1.2.3");
  EXPECT_EQ(app::NormalizeVersion("1..2.3.4"), "1.2.3");  // empty pieces are dropped
  EXPECT_EQ(app::NormalizeVersion(".1.2."), ".1.2.");     // fewer than four: unchanged
  EXPECT_EQ(app::NormalizeVersion(""), "");
}

TEST(Versions, ComponentsCompareAsNumbersOnTheFirstThreeParts) {
  EXPECT_EQ(app::CompareVersions("1.9.9", "1.10.0"), -1);
  EXPECT_EQ(app::CompareVersions("2", "1.9.9"), 1);
  EXPECT_EQ(app::CompareVersions("1.2.3-beta", "1.2.3"), 0);
  EXPECT_EQ(app::CompareVersions("1.2.3", "1.2.3.4"), 0);  // fourth part never counts
  EXPECT_EQ(app::CompareVersions("", ""), 0);
  EXPECT_EQ(app::CompareVersions("0.0.1", ""), 1);
  EXPECT_EQ(app::CompareVersions("", "0.0.0"), 0);
}

TEST(Versions, ParseComponentReadsLikeStrtolWithinThirtyTwoBits) {
  EXPECT_EQ(app::ParseComponent("42"), 42);
  EXPECT_EQ(app::ParseComponent("  7x"), 7);
  EXPECT_EQ(app::ParseComponent("-3"), -3);
  EXPECT_EQ(app::ParseComponent("+5"), 5);
  EXPECT_EQ(app::ParseComponent("beta"), 0);
  EXPECT_EQ(app::ParseComponent("2147483647"), 2147483647);
  EXPECT_EQ(app::ParseComponent("2147483648"), 0);
  EXPECT_EQ(app::ParseComponent("-2147483649"), 0);
  EXPECT_EQ(app::ParseComponent("99999999999999999999"), 0);
}

TEST(InstallerExit, DescriptionsKeepTheirExactTexts) {
  EXPECT_STREQ(app::InstallerExitDescription(3), "Newer version is detected");
  EXPECT_STREQ(app::InstallerExitDescription(5), "Reboot is required before installation");
  EXPECT_STREQ(app::InstallerExitDescription(6), "Reboot is required after installation");
  EXPECT_STREQ(app::InstallerExitDescription(7), "Reboot is required after installation");
  EXPECT_STREQ(app::InstallerExitDescription(8), "Failed: Missing file ");
  EXPECT_STREQ(app::InstallerExitDescription(256), "Failed: Wrong Password");
  EXPECT_STREQ(app::InstallerExitDescription(4), "UNKNOWN");
  EXPECT_STREQ(app::InstallerExitDescription(255), "UNKNOWN");
  EXPECT_STREQ(app::InstallerExitDescription(-1), "UNKNOWN");
}
