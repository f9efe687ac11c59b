#include "ui/updatedialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace svd {

namespace {

QLabel *wrappedLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

UpdateDialog::UpdateDialog(const QString &version, const QString &notes, UpdateAction action, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("UpdateDialog"));
    setWindowTitle(QStringLiteral("Обновление Sorvanta"));
    setStyleSheet(updateUiStyle());
    setModal(true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(24, 20, 24, 18);
    column->setSpacing(10);

    QLabel *title = wrappedLabel(QStringLiteral("Требуется обновление до версии %1").arg(version), this);
    title->setWordWrap(false);
    title->setObjectName(QStringLiteral("UpdateTitle"));
    column->addWidget(title);
    const QString what =
        action == UpdateAction::Install ? QStringLiteral("Приложение перезапустится и установит обновление.")
        : action == UpdateAction::System
            ? QStringLiteral("Установите обновление через обновления системы (или sudo apt upgrade).")
            : QStringLiteral("Скачайте новую версию и установите её.");
    column->addWidget(wrappedLabel(QStringLiteral("Эта версия больше не поддерживается. ") + what, this));
    const QString trimmed = notes.trimmed();
    if (!trimmed.isEmpty()) {
        QLabel *notesLabel = wrappedLabel(trimmed, this);
        notesLabel->setObjectName(QStringLiteral("UpdateNotes"));
        column->addWidget(notesLabel);
    }
    m_error = wrappedLabel(QString(), this);
    m_error->setObjectName(QStringLiteral("UpdateError"));
    m_error->hide();
    column->addWidget(m_error);

    column->addSpacing(6);
    auto *row = new QHBoxLayout;
    row->addStretch();
    m_quit = new QPushButton(QStringLiteral("Выйти"), this);
    m_primary = new QPushButton(updatePrimaryText(action), this);
    m_primary->setObjectName(QStringLiteral("UpdatePrimary"));
    m_primary->setDefault(true);
    m_primary->setVisible(action != UpdateAction::System);
    row->addWidget(m_quit);
    row->addWidget(m_primary);
    column->addLayout(row);
    setMinimumWidth(460);

    connect(m_primary, &QPushButton::clicked, this, &UpdateDialog::acceptRequested);
    connect(m_quit, &QPushButton::clicked, this, &UpdateDialog::quitRequested);
}

void UpdateDialog::setError(const QString &text)
{
    m_error->setText(text);
    m_error->setVisible(!text.isEmpty());
}

void UpdateDialog::reject()
{
    emit quitRequested();
}

} // namespace svd
