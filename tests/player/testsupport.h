#pragma once

#include <QString>
#include <QStringList>

namespace svd::test {

// The log file of this test run, with a read position so each test looks only
// at the lines written since its mark.
class LogMark {
public:
    LogMark();
    QString text() const;
    bool contains(const QString &needle) const { return text().contains(needle); }
    int count(const QString &needle) const { return int(text().count(needle)); }

private:
    qint64 m_offset = 0;
};

void startTestLog();
QString testLogPath();

// Short media generated with ffmpeg into a folder that lives for the test run.
// Empty string when ffmpeg is unavailable.
QString mediaDir();
QString makeClip(const QString &name, int seconds, const QString &audioLang = QStringLiteral("jpn"));
QString makeAudio(const QString &name, int seconds, int hz, const QString &lang);

} // namespace svd::test
