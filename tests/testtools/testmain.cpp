#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Every test program runs with settings of its own: QSettings fixes its folders at first use.
int main(int argc, char **argv)
{
    QTemporaryDir config;
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    QCoreApplication app(argc, argv);
    // Native settings are files on Linux; Windows keeps them in the registry, which the tests
    // in this process never use.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
