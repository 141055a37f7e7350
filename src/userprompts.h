#pragma once

#include <QPointer>
#include <QString>

class QDialog;
class QWidget;
struct CertificateFacts;

// The modal questions and notices a window puts to the user, behind one
// interface so that a test can answer them without looking for dialogs on
// screen. The default implementation runs the application's chrome dialogs.
class UserPrompts
{
public:
    virtual ~UserPrompts();

    // "Продолжить" / "Отмена"; true only for "Продолжить".
    virtual bool confirm(QWidget *parent, const QString &title, const QString &text);
    // A plain-text notice with one button.
    virtual void notify(QWidget *parent, const QString &title, const QString &text);
    // The application's file dialog; "" when cancelled.
    virtual QString chooseFile(QWidget *parent, const QString &title, const QString &path,
        const QString &filter, bool save);
    // "Подлинность панели не подтверждена" for a panel's certificate; true only for
    // "Доверять этой панели".
    virtual bool trustCertificate(QWidget *parent, const CertificateFacts &facts);
    // Closes a certificate question still open, as if cancelled (its attempt has ended).
    virtual void closeCertificateQuestion();

private:
    QPointer<QDialog> certificateQuestion;
};
