#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

namespace kova {

constexpr quint16 ServerPort = 557;
constexpr int SlotCount = 10;

constexpr quint8 SLOT_FREE = 0;
constexpr quint8 SLOT_CONNECTED = 1;
constexpr quint8 SLOT_SERVER = 4;

// The relay's shared tables. Slot i is socket element i and row i of the participant list;
// slot 0 is the listener and the operator. Indexed access goes through at(), which checks the bounds.
struct RelayTables {
    std::array<quint8, SlotCount> SlotState{};
    std::array<QString, SlotCount> SlotName;
    // Receives each incoming message and is rewritten into the message to broadcast.
    QString OutMessage;
    // The lowest slot that the next broadcast step examines, 0 to 10.
    quint8 SendCursor = 0;
};

} // namespace kova
