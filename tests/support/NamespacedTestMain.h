#pragma once

#include "MountNamespace.h"
#include "NetworkNamespace.h"

#include <QCoreApplication>
#include <QTest>

#include <cstdio>

// A QtTest main that first moves the test into a network namespace of its own (and, with mounts, a mount
// namespace too): these tests start servers on the fixed port or mount file systems. They need root. Tests with
// widgets name QApplication as the application class (and include it).
#define KOVA_NAMESPACED_TEST_MAIN(TestClass, withMounts)                                                               \
    KOVA_NAMESPACED_TEST_MAIN_WITH(QCoreApplication, TestClass, withMounts)
#define KOVA_NAMESPACED_TEST_MAIN_WITH(Application, TestClass, withMounts)                                             \
    int main(int argc, char* argv[])                                                                                   \
    {                                                                                                                  \
        QString error;                                                                                                 \
        if (!kova::test::enterPrivateNetwork(&error) || ((withMounts) && !kova::test::enterPrivateMounts(&error))) {   \
            std::fprintf(stderr, "%s needs namespaces of its own (run as root): %s\n", argv[0], qPrintable(error));    \
            return 1;                                                                                                  \
        }                                                                                                              \
        Application app(argc, argv);                                                                                   \
        TestClass test;                                                                                                \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
