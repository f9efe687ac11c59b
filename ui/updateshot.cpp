#include "ui/updateshot.h"

#include "base/log.h"
#include "ui/updatebar.h"
#include "ui/updatedialog.h"

#include <QDir>
#include <QFileInfo>
#include <QLayout>
#include <QPixmap>

namespace svd {

namespace {

bool saveWidget(QWidget *widget, const QString &path)
{
    // Never shown: polish and lay out by hand so grab() sees the final geometry.
    widget->ensurePolished();
    if (QLayout *layout = widget->layout())
        layout->activate();
    const QPixmap pixmap = widget->grab();
    return !pixmap.isNull() && pixmap.save(path, "PNG");
}

} // namespace

int runUpdateBarShot(const QString &pngPath)
{
    const QFileInfo info(pngPath);
    const QString stem = info.dir().filePath(info.completeBaseName());

    UpdateBar bar;
    bar.setUpdate(QStringLiteral("0.2.0"),
                  QStringLiteral("Обновлённый плеер, исправления воспроизведения\nвторая строка"),
                  UpdateAction::Install, true);
    bar.resize(1280, bar.height());
    bool ok = saveWidget(&bar, pngPath);

    UpdateDialog dialog(QStringLiteral("0.3.0"), QStringLiteral("Важное исправление безопасности."),
                        UpdateAction::Install);
    dialog.adjustSize();
    ok = saveWidget(&dialog, stem + QStringLiteral("-dialog.png")) && ok;

    UpdateBar downloadBar;
    downloadBar.setUpdate(QStringLiteral("0.2.0"), QString(), UpdateAction::Download, true);
    downloadBar.resize(900, downloadBar.height());
    ok = saveWidget(&downloadBar, stem + QStringLiteral("-download.png")) && ok;

    logLine(QStringLiteral("update-bar-shot: %1")
                .arg(ok ? QStringLiteral("saved") : QStringLiteral("NOT saved")));
    return ok ? 0 : 1;
}

} // namespace svd
