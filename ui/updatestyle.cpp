#include "ui/updatestyle.h"

#include <QStyle>
#include <QWidget>

namespace svd {

QString updateUiStyle()
{
    // Kept byte for byte, including the double space before "padding".
    return QStringLiteral(
        "#UpdateBar { background: #111318; border-top: 1px solid #262a33; }"
        "#UpdateDialog { background: #111318; }"
        "QLabel { color: #e6e6e6; }"
        "#UpdateTitle { font-weight: 600; }"
        "#UpdateNotes { color: #9aa4b2; }"
        "#UpdateError { color: #f87171; }"
        "QPushButton { color: #e6e6e6; background: transparent; border: 1px solid #333844; "
        "border-radius: 6px;  padding: 5px 14px; }"
        "QPushButton:hover { background: #262a33; }"
        "QPushButton:disabled { color: #6b7280; }"
        "QPushButton#UpdatePrimary { color: #ffffff; background: #3b82f6; border-color: #3b82f6; }"
        "QPushButton#UpdatePrimary:hover { background: #2563eb; border-color: #2563eb; }"
        "QPushButton#UpdatePrimary:disabled { background: #1e3a8a; border-color: #1e3a8a; color: #9aa4b2; }");
}

QString updatePrimaryText(UpdateAction action)
{
    switch (action) {
    case UpdateAction::Install:
        return QStringLiteral("Перезапустить и обновить");
    case UpdateAction::Download:
        return QStringLiteral("Скачать");
    case UpdateAction::System:
        break;
    }
    return QString();
}

void repolish(QWidget *widget)
{
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
    widget->update();
}

} // namespace svd
