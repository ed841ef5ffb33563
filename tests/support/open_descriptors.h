#pragma once
// The descriptors this process holds open, for tests that check nothing is left behind.

#include <QDir>

inline int openDescriptors()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files).size());
}
