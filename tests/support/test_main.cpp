// Every test process gets its own settings folder, so no test can read or
// change the real user's configuration.
#include <gtest/gtest.h>

#include "support/test_helpers.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    tandrel::test::TempDir settings;
    tandrel::testing::isolateUserSettings(settings.file("settings"));
    return RUN_ALL_TESTS();
}
