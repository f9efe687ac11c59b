#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

namespace svd::test {

// The test classes of this executable, registered by SVD_REGISTER_TEST.
using TestFactory = std::function<std::unique_ptr<QObject>()>;
std::vector<TestFactory> &testRegistry();

struct TestRegistration {
    explicit TestRegistration(TestFactory f) { testRegistry().push_back(std::move(f)); }
};

#define SVD_REGISTER_TEST(Class)                                                                             \
    static const svd::test::TestRegistration registration##Class(                                            \
        [] { return std::unique_ptr<QObject>(new Class); });

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
