#include "EffectSoundPlayer.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

namespace kova {

bool EffectSoundPlayer::hasOutputDevice() const
{
    return !QMediaDevices::defaultAudioOutput().isNull();
}

void EffectSoundPlayer::play(const QString& path)
{
    if (m_current) {
        m_current->stop();
        m_current->deleteLater();
    }
    auto* effect = new QSoundEffect(QMediaDevices::defaultAudioOutput(), this);
    m_current = effect;
    connect(effect, &QSoundEffect::statusChanged, this, [this, effect] {
        if (effect->status() != QSoundEffect::Error)
            return;
        effect->disconnect(this);
        effect->deleteLater();
        Q_EMIT playbackFailed();
    });
    connect(effect, &QSoundEffect::playingChanged, this, [this, effect] {
        if (!effect->isPlaying() && effect->status() == QSoundEffect::Ready) {
            effect->disconnect(this);
            effect->deleteLater();
        }
    });
    effect->setSource(QUrl::fromLocalFile(path));
    effect->play();
}

bool EffectSoundPlayer::isPlaying() const
{
    return m_current && m_current->isPlaying();
}

} // namespace kova
