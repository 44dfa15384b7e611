#pragma once

#include <QString>

namespace kova {

// The five values remembered from one run to the next, empty until the settings file is read.
struct Settings {
    QString CfgReserved;      // carried unchanged from the file read to the file written
    QString Nickname;         // the operator's nickname
    QString FontSizeSetting;  // "BIG", "MID" or "SML"
    QString SoundOnJoinLeave; // a sound rings only for exactly "TRUE"
    QString SoundOnMessage;   // as SoundOnJoinLeave

    static bool isOn(const QString& flag) { return flag == QStringLiteral("TRUE"); }
};

} // namespace kova
