#include "app/DremlixApplication.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    // The wizard's own application class, so that the error display under test is the real one.
    TDremlixApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
