#pragma once

// main() for tests that start servers: the whole run is in a network of its
// own (PrivateNetwork.h). When that cannot be made, the run fails rather
// than reaching the machine's network.

#include "PrivateNetwork.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace tarni::test {

inline int runInPrivateNetwork(int argc, char **argv)
{
    std::string error;
    const bool entered = enterPrivateNetwork(&error);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests touches nothing. (A failing global environment
    // would make ctest count the tests as skipped.)
    if (!entered && !GTEST_FLAG_GET(list_tests)) {
        std::fprintf(stderr, "FAILED: no private network for the test: %s\n", error.c_str());
        return 1;
    }
    return RUN_ALL_TESTS();
}

} // namespace tarni::test
