#include "ui/updatebar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace svd {

UpdateBar::UpdateBar(QWidget *parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("UpdateBar"));
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(updateUiStyle());
    setFixedHeight(44);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(16, 0, 10, 0);
    row->setSpacing(12);

    // Version and notes come from the server: never let them be read as markup.
    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("UpdateTitle"));
    m_title->setTextFormat(Qt::PlainText);
    m_notes = new QLabel(this);
    m_notes->setObjectName(QStringLiteral("UpdateNotes"));
    m_notes->setTextFormat(Qt::PlainText);
    m_notes->setMinimumWidth(0);
    // Long notes are cut by the bar instead of widening it.
    m_notes->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_primary = new QPushButton(this);
    m_primary->setObjectName(QStringLiteral("UpdatePrimary"));
    m_later = new QPushButton(QStringLiteral("Позже"), this);
    for (QPushButton *b : {m_primary, m_later})
        b->setCursor(Qt::PointingHandCursor);

    row->addWidget(m_title);
    row->addWidget(m_notes, 1);
    row->addWidget(m_primary);
    row->addWidget(m_later);

    connect(m_primary, &QPushButton::clicked, this, &UpdateBar::acceptRequested);
    connect(m_later, &QPushButton::clicked, this, &UpdateBar::laterRequested);
}

void UpdateBar::setUpdate(const QString &version, const QString &notes, UpdateAction action, bool showLater)
{
    const QString all = notes.trimmed();
    m_title->setText(action == UpdateAction::System
                         ? QStringLiteral("Версия %1 доступна в обновлениях системы").arg(version)
                         : QStringLiteral("Доступна версия %1").arg(version));
    m_notes->setText(all.section(u'\n', 0, 0).trimmed());
    m_notes->setToolTip(all);
    m_notes->setObjectName(QStringLiteral("UpdateNotes"));
    m_primary->setText(updatePrimaryText(action));
    m_primary->setVisible(action != UpdateAction::System);
    m_later->setVisible(showLater);
    setBusy(false);
    repolish(m_notes);
}

void UpdateBar::setBusy(bool busy)
{
    m_primary->setEnabled(!busy);
    m_later->setEnabled(!busy);
}

void UpdateBar::setError(const QString &text)
{
    m_notes->setObjectName(QStringLiteral("UpdateError"));
    m_notes->setText(text);
    repolish(m_notes);
    setBusy(false);
}

} // namespace svd
