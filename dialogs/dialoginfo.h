#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;

namespace Ui {
class DialogInfo;
}

// A small progress window: a status text and two bars, each part shown or hidden by the caller.
// The text wraps, so a long one makes the window taller, never wider.
class DialogInfo : public QDialog {
    Q_OBJECT

public:
    DialogInfo(QWidget *parent, bool showLabel, bool showProgress, bool showProgress2, bool showOk,
               bool showCancel);
    ~DialogInfo() override;

    // Shows or hides the parts, then shrinks the dialog to the height its layout needs.
    void setParts(bool showLabel, bool showProgress, bool showProgress2, bool showButtons);
    void setText(const QString &text);
    void setProgress(int minimum, int maximum, int value);
    void setProgressValue(int value);

    QLabel *label() const;
    QProgressBar *progressBar() const;
    QProgressBar *progressBar2() const;

public slots:
    void smtpStatus(int client_id, int status_code, const QString &txt);

private:
    void fitHeightToText();

    Ui::DialogInfo *m_ui;
};
