// The platform helpers' tests. Started as "--is-administrator" the program answers that
// question for the identity it runs under, so that a test can ask it as another user.
#include "platform/InstallTools2.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <exception>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--is-administrator") == 0) {
        try {
            std::puts(TWindowsInstaller::IsAdministrator() ? "yes" : "no");
            return 0;
        } catch (const std::exception &) {
            std::puts("error");
            return 1;
        }
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
