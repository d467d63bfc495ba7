// The host layer's tests. The same program also plays the other process of the sharing
// tests (a program holding a file open or mapped), so that they need no tool of the host.
#include "ChildProcess.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (const int role = RunChildRole(argc, argv); role >= 0)
        return role;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
