#pragma once

#include <QObject>

namespace kova {

struct Settings;

// The font-size and sound menu commands with their check marks. Each command is both what the operator's
// menu choice runs and the setter that start-up uses to apply the stored settings.
class Preferences : public QObject {
    Q_OBJECT

public:
    enum class FontSize { Big, Mid, Small };
    static constexpr int BigPoints = 18;
    static constexpr int MidPoints = 12;
    static constexpr int SmallPoints = 9;

    explicit Preferences(Settings& settings, QObject* parent = nullptr);

    void OptionsFontSizeBig();
    void OptionsFontSizeMid();
    void OptionsFontSizeSmall();
    void SoundsInOut();
    void SoundsMsg();
    void ApplySettings(bool fileRead);

    bool isChecked(FontSize size) const { return m_fontChecks[int(size)]; }
    bool soundsInOutChecked() const { return m_soundsInOut; }
    bool soundsMsgChecked() const { return m_soundsMsg; }
    // 0 until a font-size command has run.
    int pointSize() const { return m_pointSize; }

Q_SIGNALS:
    void checksChanged();
    void fontSizeChanged(int points);

private:
    void chooseFontSize(FontSize size, const QString& setting, int points);
    void toggleSound(bool& check, QString& setting);

    Settings& m_settings;
    bool m_fontChecks[3] = {false, false, false};
    bool m_soundsInOut = false;
    bool m_soundsMsg = false;
    int m_pointSize = 0;
};

} // namespace kova
