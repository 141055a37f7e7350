#pragma once

#include "chromedialog.h"
#include "credentialstore.h"
#include "panelprofile.h"
#include "profilevalidation.h"

#include <functional>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

// The modal editor of one address book record. Save checks the fields
// (validateProfile), then stores the password in the credential store when
// "remember" is ticked or removes a stored one otherwise, and only then
// accepts; a refusal is shown in the "error" label and everything typed stays.
// The dialog never touches the address book: the caller takes profile().
class ProfileEditor : public ChromeDialog
{
    Q_OBJECT

public:
    enum class Mode { NewPanel, ExistingPanel };

    // Shows `record` (for a new panel, PanelProfile::createNew()). When its
    // `remember` is set, the password shown is the one read from the
    // credential store, cut to the field's eight characters. When that read
    // fails, the "error" label says so, the field stays empty, and Save with
    // "remember" ticked and the field untouched keeps the stored password.
    // The password field takes what the chosen encryption allows; switching
    // encryption off never cuts a longer password (Save then refuses it).
    // A stored certificate pin is shown with "Забыть сертификат"; forgetting it,
    // or changing the host or port, drops it at Save, and the dialog says so.
    ProfileEditor(Mode mode, const PanelProfile &record, QWidget *parent);
    ~ProfileEditor() override;

    // Takes the record that passed every check, just before the dialog would
    // close; a non-empty answer is a failure message: the dialog shows it in
    // its "error" label, puts the credential store back as it was when the
    // dialog opened (or says that it could not) and stays open.
    using Commit = std::function<QString(const PanelProfile &)>;

    // Runs the editor over `parent`, handing a saved record to `commit` when
    // given. True with the accepted record in *result; false when it was
    // cancelled or `parent` went away meanwhile.
    static bool edit(QWidget *parent, Mode mode, const PanelProfile &record, PanelProfile *result,
        const Commit &commit = {});
    void setCommit(const Commit &commit);

    // The working copy: the accepted record once Save succeeded.
    const PanelProfile &profile() const { return workingCopy; }
    // The working copy with the widgets' contents exactly as typed; without the
    // pin when it was forgotten or the panel's address changed.
    PanelProfile typed() const;

    // The pin that the record holds now (a trust decision made while the dialog
    // was open): shown, and kept at Save unless forgotten or the address changes.
    void setStoredCertificate(const QString &sha256);

private:
    void save();
    // Writes back the password read when the dialog opened, or removes the
    // entry there was none of; false when that failed or the read had failed.
    bool restoreStore() const;
    void togglePasswordEcho();
    void onEncryptionChanged();
    void forgetCertificate();
    void updateCertificateRow();
    bool addressChanged() const;
    PanelProfile::Encryption chosenEncryption() const;

    PanelProfile workingCopy;
    Commit commit;
    // What the store held for the record when the dialog opened; a record
    // without "remember" has nothing there.
    CredentialStore::ReadResult storedAtOpen = CredentialStore::ReadResult::NotStored;
    QLineEdit *nameEdit = nullptr;
    QLineEdit *hostEdit = nullptr;
    QSpinBox *portBox = nullptr;
    QLineEdit *groupEdit = nullptr;
    QLineEdit *passwordEdit = nullptr;
    QPlainTextEdit *notesEdit = nullptr;
    QCheckBox *rememberBox = nullptr;
    QCheckBox *viewOnlyBox = nullptr;
    QCheckBox *reconnectBox = nullptr;
    QCheckBox *compressionBox = nullptr;
    QLabel *passwordHint = nullptr;
    QFormLayout *encryptionForm = nullptr;
    QComboBox *encryptionBox = nullptr;
    QLineEdit *userNameEdit = nullptr;
    QWidget *certificateRow = nullptr;
    QLabel *fingerprintLabel = nullptr;
    QPushButton *forgetButton = nullptr;
    QLabel *certificateNote = nullptr;
    bool certificateForgotten = false;
    QLabel *errorLabel = nullptr;
};
