#include "NotificationSound.h"

#include "SoundPlayer.h"
#include "log/LogText.h"

#include <QFile>
#include <QtEndian>

namespace kova {

namespace {
const QString FailureLine = QStringLiteral("音を鳴らせませんでした。");
}

NotificationSound::NotificationSound(LogText& log, SoundPlayer& player, QDir directory, SteadyClock clock)
    : m_log(log)
    , m_player(player)
    , m_directory(std::move(directory))
    , m_clock(std::move(clock))
{
    QObject::connect(&m_player, &SoundPlayer::playbackFailed, &m_log, [this] { m_log.AppendLog(FailureLine); });
}

void NotificationSound::SoundOut()
{
    const qint64 now = m_clock();
    if (m_player.isPlaying() || (m_lastRing && now - *m_lastRing < QuietNanoseconds))
        return;
    m_lastRing = now;
    if (PlaySoundFile(QStringLiteral("recv.wav")) == 0)
        m_log.AppendLog(FailureLine);
}

int NotificationSound::PlaySoundFile(const QString& file)
{
    const QString path = m_directory.filePath(file);
    if (!isPlayableWave(path) || !m_player.hasOutputDevice())
        return 0;
    m_player.play(path);
    return 1;
}

// A RIFF file of form WAVE whose "fmt " chunk comes before its "data" chunk.
bool NotificationSound::isPlayableWave(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray header = file.read(12);
    if (header.size() != 12 || !header.startsWith("RIFF") || header.mid(8, 4) != "WAVE")
        return false;
    // Walk the chunks; a bounded number of them, so a corrupt file cannot keep us here.
    for (int chunk = 0; chunk < 64; ++chunk) {
        const QByteArray chunkHeader = file.read(8);
        if (chunkHeader.size() != 8)
            return false;
        const QByteArray id = chunkHeader.left(4);
        const quint32 size = qFromLittleEndian<quint32>(chunkHeader.constData() + 4);
        if (id == "fmt ")
            return size >= 16;
        if (id == "data")
            return false;
        if (!file.seek(file.pos() + size + (size & 1)))
            return false;
    }
    return false;
}

} // namespace kova
