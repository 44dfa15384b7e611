#include "Preferences.h"

#include "Settings.h"

namespace kova {

namespace {
const QString True = QStringLiteral("TRUE");
const QString False = QStringLiteral("FALSE");
} // namespace

Preferences::Preferences(Settings& settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
{}

void Preferences::chooseFontSize(FontSize size, const QString& setting, int points)
{
    for (int i = 0; i < 3; ++i)
        m_fontChecks[i] = i == int(size);
    Q_EMIT checksChanged();
    m_settings.FontSizeSetting = setting;
    m_pointSize = points;
    Q_EMIT fontSizeChanged(points);
}

void Preferences::OptionsFontSizeBig()
{
    chooseFontSize(FontSize::Big, QStringLiteral("BIG"), BigPoints);
}

void Preferences::OptionsFontSizeMid()
{
    chooseFontSize(FontSize::Mid, QStringLiteral("MID"), MidPoints);
}

void Preferences::OptionsFontSizeSmall()
{
    chooseFontSize(FontSize::Small, QStringLiteral("SML"), SmallPoints);
}

void Preferences::toggleSound(bool& check, QString& setting)
{
    check = !check;
    setting = check ? True : False;
    Q_EMIT checksChanged();
}

void Preferences::SoundsInOut()
{
    toggleSound(m_soundsInOut, m_settings.SoundOnJoinLeave);
}

void Preferences::SoundsMsg()
{
    toggleSound(m_soundsMsg, m_settings.SoundOnMessage);
}

void Preferences::ApplySettings(bool fileRead)
{
    if (!fileRead) {
        OptionsFontSizeSmall();
        return;
    }
    if (m_settings.FontSizeSetting == QStringLiteral("BIG"))
        OptionsFontSizeBig();
    else if (m_settings.FontSizeSetting == QStringLiteral("MID"))
        OptionsFontSizeMid();
    else
        OptionsFontSizeSmall();
    if (Settings::isOn(m_settings.SoundOnJoinLeave))
        SoundsInOut();
    if (Settings::isOn(m_settings.SoundOnMessage))
        SoundsMsg();
}

} // namespace kova
