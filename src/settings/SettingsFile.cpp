#include "SettingsFile.h"

#include "io/AtomicWrite.h"
#include "io/Cp932.h"

#include <QFile>
#include <QFileInfo>

#include <array>

namespace kova {

namespace {
std::array<QString*, 5> fields(Settings& s)
{
    return {&s.CfgReserved, &s.Nickname, &s.FontSizeSetting, &s.SoundOnJoinLeave, &s.SoundOnMessage};
}

std::array<const QString*, 5> fields(const Settings& s)
{
    return {&s.CfgReserved, &s.Nickname, &s.FontSizeSetting, &s.SoundOnJoinLeave, &s.SoundOnMessage};
}
} // namespace

SettingsFile::SettingsFile(QDir directory)
    : m_directory(std::move(directory))
{}

QString SettingsFile::path() const
{
    return m_directory.filePath(FileName);
}

bool SettingsFile::exists() const
{
    const QFileInfo info(path());
    return info.exists() && info.isFile();
}

Settings SettingsFile::parse(const QByteArray& bytes)
{
    Settings settings;
    qsizetype start = 0;
    for (QString* field : fields(settings)) {
        if (start >= bytes.size())
            break;
        qsizetype end = bytes.indexOf('\n', start);
        const qsizetype next = end < 0 ? bytes.size() : end + 1;
        if (end < 0)
            end = bytes.size();
        else if (end > start && bytes.at(end - 1) == '\r')
            --end;
        *field = cp932::decode(QByteArrayView(bytes).sliced(start, end - start));
        start = next;
    }
    return settings;
}

QByteArray SettingsFile::serialize(const Settings& settings)
{
    QByteArray bytes;
    for (const QString* field : fields(settings))
        bytes += cp932::encode(*field) + "\r\n";
    return bytes;
}

SettingsFile::LoadResult SettingsFile::LoadSettings(Settings& settings, QString* error) const
{
    settings = Settings{};
    if (!exists())
        return LoadResult::NoFile;
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
        return LoadResult::Failed;
    }
    // Only five lines are used; a huge file is not read whole.
    QByteArray bytes;
    int lines = 0;
    while (lines < 5 && !file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.isEmpty() && file.error() != QFileDevice::NoError)
            break;
        bytes += line;
        ++lines;
    }
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(file.fileName(), file.errorString());
        return LoadResult::Failed;
    }
    settings = parse(bytes);
    return LoadResult::Read;
}

bool SettingsFile::SaveSettings(const Settings& settings, QString* error) const
{
    return writeAtomically(path(), serialize(settings), error);
}

} // namespace kova
