#pragma once

#include "ui/updatestyle.h"

#include <QFrame>

class QLabel;
class QPushButton;

namespace svd {

// The thin bar under the web view that offers a new version.
class UpdateBar : public QFrame {
    Q_OBJECT
public:
    explicit UpdateBar(QWidget *parent = nullptr);

    void setUpdate(const QString &version, const QString &notes, UpdateAction action, bool showLater);
    void setBusy(bool busy);
    void setError(const QString &text);

    QLabel *titleLabel() const { return m_title; }
    QLabel *notesLabel() const { return m_notes; }
    QPushButton *primaryButton() const { return m_primary; }
    QPushButton *laterButton() const { return m_later; }

signals:
    void acceptRequested();
    void laterRequested();

private:
    QLabel *m_title = nullptr;
    QLabel *m_notes = nullptr;
    QPushButton *m_primary = nullptr;
    QPushButton *m_later = nullptr;
};

} // namespace svd
