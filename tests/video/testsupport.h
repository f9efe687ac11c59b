#pragma once

#include <QImage>
#include <QString>

namespace svd::test {

// The log of this test run, read from a mark so each test sees only its own lines.
class LogMark
{
public:
    LogMark();
    QString text() const;
    bool contains(const QString &needle) const { return text().contains(needle); }

private:
    qint64 m_offset = 0;
};

void startTestLog(const QString &dir);

// A 30 s clip whose upper half is red and lower half blue, with a sound track
// (without one, mpv ends the file when a render context goes away). Made with
// ffmpeg once per run; empty when ffmpeg fails.
QString colourClip();

// True when `image` shows red above blue (as the clip does, upright); `why`
// says what was seen otherwise.
bool isUprightRedOverBlue(const QImage &image, QString *why);

} // namespace svd::test
