#include <QCoreApplication>
#include <gtest/gtest.h>

// The connection module's timers need an event loop's dispatcher.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
