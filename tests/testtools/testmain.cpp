#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Every test program runs with settings of its own: QSettings fixes its folders at first use.
int main(int argc, char **argv)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
