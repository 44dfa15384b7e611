#pragma once

#include "settings/SoundPlayer.h"

#include <QPointer>

class QSoundEffect;

namespace kova {

// Plays through Qt Multimedia's QSoundEffect, one fresh effect per play.
class EffectSoundPlayer final : public SoundPlayer {
    Q_OBJECT

public:
    using SoundPlayer::SoundPlayer;

    bool hasOutputDevice() const override;
    void play(const QString& path) override;
    bool isPlaying() const override;

private:
    QPointer<QSoundEffect> m_current;
};

} // namespace kova
