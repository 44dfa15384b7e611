#pragma once

#include "FuzzCheck.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace kova::fuzz {

// Far beyond what one input needs, in milliseconds.
constexpr qint64 Patience = 10'000;

// Runs events until the condition holds; a hang is a finding.
template <typename Condition> void runUntil(Condition condition, const char* what)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        check(elapsed.elapsed() < Patience, what);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
}

} // namespace kova::fuzz
