// Host-facing lifecycle of a driver object with no display attached.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/driver.h"

TEST(DriverLifecycle, InitializeWithoutDisplayFailsCleanly) {
    CBrailleSampleDriver driver;
    EXPECT_EQ(0, driver.Initialize("COM250", nullptr, "a", "b"));
    EXPECT_EQ(nullptr, driver.workerThread);
    EXPECT_EQ(nullptr, driver.keyWindow);
    EXPECT_EQ(nullptr, driver.commandDone);
    EXPECT_EQ(0, driver.GetTextCellCount());
}
