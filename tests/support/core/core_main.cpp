#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Runs every test of a receiver-side test program inside a QCoreApplication:
// no screen and no widgets, as the receiver runs in a service. The per-user
// configuration directory is a temporary folder.
int main(int argc, char** argv)
{
    QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", configHome.path().toUtf8());
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
