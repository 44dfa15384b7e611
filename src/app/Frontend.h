#pragma once

#include <QObject>

namespace kova {

// What the operator sees of the server: a window on a desktop, or standard output without one.
class Frontend : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // A termination signal: the shutdown sequence if the server runs, and the end of the program at once.
    virtual void end() = 0;
    // After a failed start: whether the event loop must run so that somebody can read why.
    virtual bool showsFailure() const = 0;
    // A second start asks to see the server: true when a window came to the front.
    virtual bool bringToFront() = 0;
};

} // namespace kova
