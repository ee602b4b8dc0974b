#pragma once

#include <QApplication>

#include <gtest/gtest.h>

// Widget tests run without a display unless told otherwise, also when
// ctest discovers them without the test environment, and compare the
// English texts whatever the desktop's language.
inline int runGuiTests(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("LANGUAGE", "en");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
