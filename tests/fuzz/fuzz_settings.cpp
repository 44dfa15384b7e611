// Arbitrary settings files: reading never fails on an ordinary file, and what was read is written back and
// read again unchanged, as five lines.
#include "FuzzCheck.h"
#include "settings/SettingsFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

using namespace kova;
using kova::fuzz::check;

namespace {
// A well-formed but unassigned double-byte code reads as U+FFFD and is written back as "?".
bool same(const Settings& read, const Settings& reread)
{
    auto written = [](QString value) { return value.replace(QChar(QChar::ReplacementCharacter), u'?'); };
    return written(read.CfgReserved) == reread.CfgReserved && written(read.Nickname) == reread.Nickname &&
           written(read.FontSizeSetting) == reread.FontSizeSetting &&
           written(read.SoundOnJoinLeave) == reread.SoundOnJoinLeave &&
           written(read.SoundOnMessage) == reread.SoundOnMessage;
}

QTemporaryDir* directory = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    directory = new QTemporaryDir(QStringLiteral("/dev/shm/kova-fuzz-XXXXXX"));
    if (!directory->isValid())
        directory = new QTemporaryDir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const SettingsFile file{QDir(directory->path())};
    {
        QFile out(file.path());
        check(out.open(QIODevice::WriteOnly | QIODevice::Truncate), "scratch file opens");
        out.write(reinterpret_cast<const char*>(bytes), qint64(size));
    }
    Settings first;
    QString error;
    check(file.LoadSettings(first, &error) == SettingsFile::LoadResult::Read, "an ordinary file is read");
    check(file.SaveSettings(first, &error), "settings are written");

    QFile written(file.path());
    check(written.open(QIODevice::ReadOnly), "written file opens");
    const QByteArray bytesWritten = written.readAll();
    check(bytesWritten.count("\r\n") >= 5 && bytesWritten.endsWith("\r\n"), "five lines ending in CR LF");

    Settings second;
    check(file.LoadSettings(second, &error) == SettingsFile::LoadResult::Read, "written file is read");
    check(same(first, second), "values survive a write and a read");
    return 0;
}
