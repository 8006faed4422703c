// Entry of the window tests: Qt Widgets on the offscreen platform, and a settings
// folder of their own so that the user's settings are never read or changed, numbers
// in the C locale.
#include <gtest/gtest.h>

#include <QApplication>

#include <clocale>
#include <cstdlib>
#include <string>

#include "app/window.h"
#include "testutil.h"

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string config = testTempDir() + "/config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    QApplication application(argc, argv);
    windowUseCNumbers();   // as the window does
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
