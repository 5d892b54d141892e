#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Runs every test inside a QApplication on the offscreen platform, with the
// per-user configuration directory moved to a temporary folder so no test ever
// touches the user's real settings.
int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toUtf8());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
