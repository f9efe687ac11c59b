#pragma once

#include "ui/updatestyle.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace svd {

// The dialog of a mandatory update: the user can only update or quit.
class UpdateDialog : public QDialog {
    Q_OBJECT
public:
    UpdateDialog(const QString &version, const QString &notes, UpdateAction action,
                 QWidget *parent = nullptr);

    void setError(const QString &text);

    QLabel *errorLabel() const { return m_error; }
    QPushButton *primaryButton() const { return m_primary; }
    QPushButton *quitButton() const { return m_quit; }

public slots:
    // Escape and the window's close button land here: they ask to quit and
    // leave the dialog open, since the offer cannot be dismissed.
    void reject() override;

signals:
    void acceptRequested();
    void quitRequested();

private:
    QLabel *m_error = nullptr;
    QPushButton *m_primary = nullptr;
    QPushButton *m_quit = nullptr;
};

} // namespace svd
