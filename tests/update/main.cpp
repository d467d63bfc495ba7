#include <QGuiApplication>
#include <gtest/gtest.h>

// The role of the update's own process in the kill test; -1 when argv names none.
int RunUpdateChild(int argc, char **argv);

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (const int role = RunUpdateChild(argc, argv); role >= 0)
        return role;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
