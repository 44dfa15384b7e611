#pragma once

#include "Settings.h"

#include <QDir>
#include <QString>

namespace kova {

// "KV.CFG" in the working directory: the five settings values, one line each, ending in CR LF, code page 932.
class SettingsFile {
public:
    static inline const QString FileName = QStringLiteral("KV.CFG");

    explicit SettingsFile(QDir directory);

    QString path() const;

    enum class LoadResult { Read, NoFile, Failed };

    // Read: an ordinary file existed and was read. Each value is its whole line as written; lines missing at
    // the end give empty values, lines after the fifth are ignored. NoFile: every value is empty. Failed: the
    // file exists but cannot be read; every value is empty and *error says why.
    LoadResult LoadSettings(Settings& settings, QString* error = nullptr) const;
    // Writes the five values atomically: a failed write leaves the previous file as it was.
    bool SaveSettings(const Settings& settings, QString* error = nullptr) const;

    bool exists() const;
    static QByteArray serialize(const Settings& settings);
    static Settings parse(const QByteArray& bytes);

private:
    QDir m_directory;
};

} // namespace kova
