#include "platform/MainThread.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    InitMainThread();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
