// Runs the device library's unit tests inside a private device root, so
// that the library's fixed paths exist without touching the host.
#include <gtest/gtest.h>

#include "support.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing (test discovery at build time) needs no root and no namespace.
    if (!GTEST_FLAG_GET(list_tests)) unit::enterSandbox();
    return RUN_ALL_TESTS();
}
