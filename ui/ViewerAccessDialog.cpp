#include "ui/ViewerAccessDialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "platform/MessageBox.h"
#include "settings/AccessConfig.h"
#include "ui/Help.h"
#include "ui/Templates.h"
#include "ui/ViewerAccessDialogIds.h"
#include "ui/toolkit/DialogBuilder.h"
#include "web/ViewerAccess.h"

using namespace accessdialog;

namespace {

constexpr char kHelpTopic[] = "viewers.htm";
constexpr char kCaption[] = "Viewer access";

}  // namespace

int RunViewerAccessDialog(QWidget* owner, const char* path, const std::string& pageAddress,
                          const std::string& fingerprint) {
    AccessConfig config;
    std::string error;
    const KeyValueLoad loaded = LoadAccessConfig(path, &config, &error);
    if (loaded == KeyValueLoad::kDamaged || loaded == KeyValueLoad::kUnreadable) {
        MessageBox((error + "\nCorrect or remove the file, then open Viewer access again.").c_str(),
                   kCaption, MB_OK | MB_ICONEXCLAMATION);
        return IDCANCEL;
    }
    AccessSettings settings = config.Settings();
    if (loaded == KeyValueLoad::kMissing) settings.viewers = ViewerRule::kInvite;
    if (settings.token.empty()) settings.token = NewInviteToken();

    QDialog dialog(owner);
    dialog.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint);
    const DialogControls controls =
        BuildDialog(&dialog, *FindDialogTemplate(kViewerAccessDialogId));
    auto* everyone = controls.Get<QRadioButton>(kEveryoneRadio);
    auto* invite = controls.Get<QRadioButton>(kInviteRadio);
    auto* password = controls.Get<QRadioButton>(kPasswordRadio);
    auto* passwordEdit = controls.Get<QLineEdit>(kPasswordEdit);
    auto* link = controls.Get<QLineEdit>(kLinkEdit);
    auto* tls = controls.Get<QCheckBox>(kTlsBox);
    auto* certificate = controls.Get<QLineEdit>(kCertificateEdit);
    auto* key = controls.Get<QLineEdit>(kKeyEdit);
    auto* note = controls.Get<QLabel>(kTlsNoteLabel);
    note->setWordWrap(true);
    tls->setChecked(settings.tls);
    certificate->setText(QString::fromStdString(settings.certificate));
    key->setText(QString::fromStdString(settings.key));
    // What viewers will see with each kind of certificate.
    const auto showNote = [&] {
        std::string text;
        if (!tls->isChecked())
            text = "Off: what viewers see and send goes over the network unencrypted.";
        else if (certificate->text().trimmed().isEmpty())
            text =
                "This computer's own certificate: every browser warns once; a viewer can check "
                "it by its fingerprint" +
                (fingerprint.empty() ? std::string(".") : ": " + fingerprint);
        else
            text =
                "Your certificate: browsers trust it when a public authority (such as Let's "
                "Encrypt) issued it for the address viewers use.";
        note->setText(QString::fromStdString(text));
    };
    showNote();
    QObject::connect(tls, &QCheckBox::toggled, &dialog, showNote);
    QObject::connect(certificate, &QLineEdit::textChanged, &dialog, showNote);
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setPlaceholderText(settings.passwordHash.empty() ? "" : "(unchanged)");
    link->setReadOnly(true);
    const auto showLink = [&] {
        link->setText(QString::fromStdString(pageAddress + "?invite=" + settings.token));
    };
    showLink();
    switch (settings.viewers) {
        case ViewerRule::kEveryone:
            everyone->setChecked(true);
            break;
        case ViewerRule::kInvite:
            invite->setChecked(true);
            break;
        case ViewerRule::kPassword:
            password->setChecked(true);
            break;
    }

    QObject::connect(controls.Get<QPushButton>(kNewLinkButton), &QPushButton::clicked, &dialog,
                     [&] {
                         settings.token = NewInviteToken();
                         showLink();
                     });
    QObject::connect(controls.Get<QPushButton>(kHelpButton), &QPushButton::clicked, &dialog,
                     [] { ShowHelpTopic(kHelpTopic); });
    QObject::connect(controls.Get<QPushButton>(IDCANCEL), &QPushButton::clicked, &dialog,
                     &QDialog::reject);
    QObject::connect(controls.Get<QPushButton>(IDOK), &QPushButton::clicked, &dialog, [&] {
        const std::string typed = passwordEdit->text().toStdString();
        if (password->isChecked() && typed.empty() && settings.passwordHash.empty()) {
            MessageBox("Type the viewer password.", kCaption, MB_OK | MB_ICONEXCLAMATION);
            passwordEdit->setFocus();
            return;
        }
        if (!typed.empty()) {
            const std::string hash = HashViewerPassword(typed);
            if (hash.empty()) {
                MessageBox("Cannot keep the viewer password.", kCaption,
                           MB_OK | MB_ICONEXCLAMATION);
                return;
            }
            settings.passwordHash = hash;
        }
        settings.tls = tls->isChecked();
        settings.certificate = certificate->text().trimmed().toStdString();
        settings.key = key->text().trimmed().toStdString();
        if (settings.certificate.empty() != settings.key.empty()) {
            MessageBox("Give both your certificate's file and its key's file, or neither.",
                       kCaption, MB_OK | MB_ICONEXCLAMATION);
            (settings.certificate.empty() ? certificate : key)->setFocus();
            return;
        }
        settings.viewers = everyone->isChecked() ? ViewerRule::kEveryone
                           : invite->isChecked() ? ViewerRule::kInvite
                                                 : ViewerRule::kPassword;
        config.SetSettings(settings);
        if (!SaveAccessConfig(path, config)) {
            MessageBox("Cannot save the access settings", kCaption, MB_OK | MB_ICONEXCLAMATION);
            return;
        }
        dialog.accept();
    });

    return dialog.exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}
