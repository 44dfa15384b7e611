// Makes the files that the package installs besides the program: the default notification sound "recv.wav",
// a short two-note chime, and the icon as PNG images.
//   kova_assets <output directory> <icon.xpm>...
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QtEndian>

#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

constexpr int SampleRate = 22050;

// Two bell-like notes, E6 then B5, each with a soft attack, a few overtones and an exponential decay.
QByteArray chimeSamples()
{
    struct Note {
        double start, frequency, length;
    };
    const Note notes[] = {{0.0, 1318.51, 0.55}, {0.16, 987.77, 0.7}};
    const double total = 0.9;
    const int count = int(total * SampleRate);
    QByteArray pcm(count * 2, '\0');
    for (int i = 0; i < count; ++i) {
        const double t = double(i) / SampleRate;
        double value = 0;
        for (const Note& note : notes) {
            const double local = t - note.start;
            if (local < 0 || local > note.length)
                continue;
            const double attack = std::min(1.0, local / 0.004);
            const double envelope = attack * std::exp(-local * 6.5) * (1 - local / note.length);
            const double w = 2 * std::numbers::pi * note.frequency * local;
            value += envelope * (std::sin(w) + 0.35 * std::sin(2.76 * w) + 0.12 * std::sin(5.4 * w));
        }
        const auto sample = qint16(std::lround(std::clamp(value * 0.28, -1.0, 1.0) * 32767));
        qToLittleEndian(sample, pcm.data() + 2 * i);
    }
    return pcm;
}

QByteArray wave(const QByteArray& pcm)
{
    QByteArray out;
    auto u32 = [&out](quint32 v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&out](quint16 v) { out.append(reinterpret_cast<const char*>(&v), 2); };
    out.append("RIFF");
    u32(quint32(36 + pcm.size()));
    out.append("WAVEfmt ");
    u32(16);
    u16(1); // PCM
    u16(1); // mono
    u32(SampleRate);
    u32(SampleRate * 2);
    u16(2);
    u16(16);
    out.append("data");
    u32(quint32(pcm.size()));
    out.append(pcm);
    return out;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kova_assets <output directory> <icon.xpm>...\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QFile sound(out.filePath(QStringLiteral("recv.wav")));
    const QByteArray bytes = wave(chimeSamples());
    if (!sound.open(QIODevice::WriteOnly) || sound.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "kova_assets: %s: %s\n", qPrintable(sound.fileName()), qPrintable(sound.errorString()));
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        const QString source = QString::fromLocal8Bit(argv[i]);
        const QImage icon(source);
        const QString target = out.filePath(QFileInfo(source).completeBaseName() + QStringLiteral(".png"));
        if (icon.isNull() || !icon.save(target)) {
            std::fprintf(stderr, "kova_assets: cannot turn %s into %s\n", qPrintable(source), qPrintable(target));
            return 1;
        }
    }
    return 0;
}
