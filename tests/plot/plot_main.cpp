// Entry of the plot tests: Qt on its offscreen platform, and a settings folder of their
// own so that the user's settings are never read or changed, numbers in the C locale.
#include <gtest/gtest.h>

#include <QGuiApplication>

#include <clocale>
#include <cstdlib>
#include <string>

#include "testutil.h"

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string config = testTempDir() + "/config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    QGuiApplication application(argc, argv);
    // Qt has just taken the C library's locale from the environment. Labels, files and
    // listings have decimal points whatever the user's locale, so every executable sets
    // LC_NUMERIC back right after its application object.
    setlocale(LC_NUMERIC, "C");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
