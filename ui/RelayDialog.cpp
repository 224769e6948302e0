#include "ui/RelayDialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string>

#include "platform/MessageBox.h"
#include "settings/RelayConfig.h"
#include "ui/Help.h"
#include "ui/RelayDialogIds.h"
#include "ui/Templates.h"
#include "ui/toolkit/DialogBuilder.h"

using namespace relaydialog;

namespace {

constexpr char kHelpTopic[] = "relay.htm";
constexpr char kCaption[] = "Relay";

std::string Text(const QLineEdit* edit) {
    return edit->text().trimmed().toStdString();
}

}  // namespace

int RunRelayDialog(QWidget* owner, const char* path) {
    RelayConfig config;
    std::string error;
    const RelayConfigLoad loaded = LoadRelayConfig(path, &config, &error);
    if (loaded == RelayConfigLoad::kDamaged || loaded == RelayConfigLoad::kUnreadable) {
        // Rewriting it from an empty dialog would lose what the user wrote.
        MessageBox((error + "\nCorrect or remove the file, then open Relay again.").c_str(),
                   kCaption, MB_OK | MB_ICONEXCLAMATION);
        return IDCANCEL;
    }

    QDialog dialog(owner);
    dialog.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint);
    const DialogControls controls = BuildDialog(&dialog, *FindDialogTemplate(kRelayDialogId));
    auto* url = controls.Get<QLineEdit>(kUrlEdit);
    auto* shown = controls.Get<QLabel>(kShownUrlLabel);
    auto* publish = controls.Get<QCheckBox>(kPublishBox);
    auto* hls = controls.Get<QLineEdit>(kHlsEdit);
    // The stream key is a secret: the address is typed blind, and shown
    // below with its key masked.
    url->setEchoMode(QLineEdit::Password);
    const auto showMasked = [url, shown] {
        shown->setText(QString::fromStdString(MaskRelayUrl(Text(url))));
    };
    QObject::connect(url, &QLineEdit::textChanged, &dialog, showMasked);
    url->setText(QString::fromStdString(config.Settings().url));
    publish->setChecked(config.Settings().publish);
    hls->setText(QString::fromStdString(config.Settings().hls));
    showMasked();

    QObject::connect(controls.Get<QPushButton>(kHelpButton), &QPushButton::clicked, &dialog,
                     [] { ShowHelpTopic(kHelpTopic); });
    QObject::connect(controls.Get<QPushButton>(IDCANCEL), &QPushButton::clicked, &dialog,
                     &QDialog::reject);
    QObject::connect(controls.Get<QPushButton>(IDOK), &QPushButton::clicked, &dialog, [&] {
        const std::string address = Text(url);
        if (publish->isChecked() || !address.empty()) {
            const std::string problem = RelayUrlProblem(address);
            if (!problem.empty()) {
                std::string message = problem;
                message[0] =
                    static_cast<char>(std::toupper(static_cast<unsigned char>(message[0])));
                MessageBox((message + ".").c_str(), kCaption, MB_OK | MB_ICONEXCLAMATION);
                url->setFocus();
                return;
            }
        }
        const std::string stream = Text(hls);
        if (!stream.empty() && stream.rfind("http://", 0) != 0 &&
            stream.rfind("https://", 0) != 0) {
            MessageBox("The HLS address must begin with http:// or https://.", kCaption,
                       MB_OK | MB_ICONEXCLAMATION);
            hls->setFocus();
            return;
        }
        config.SetSettings({address, publish->isChecked(), stream});
        if (!SaveRelayConfig(path, config)) {
            MessageBox("Cannot save the relay settings", kCaption, MB_OK | MB_ICONEXCLAMATION);
            return;
        }
        dialog.accept();
    });

    return dialog.exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}
