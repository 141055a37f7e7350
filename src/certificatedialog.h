#pragma once

#include "chromedialog.h"

struct CertificateFacts;

// "Подлинность панели не подтверждена": the panel, its address and the certificate it presented
// (subject, issuer, validity, what is wrong with it, the SHA-256 in groups of four), with
// "Доверять этой панели" (accepts) and "Отмена" (rejects, as Escape and the close button do).
// Enter alone never trusts: "Отмена" is the default button.
class CertificateDialog : public ChromeDialog
{
    Q_OBJECT

public:
    CertificateDialog(const CertificateFacts &facts, QWidget *parent);
    ~CertificateDialog() override;
};
