#include "ui/ServerEditDlg.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "platform/MessageBox.h"
#include "ui/Help.h"
#include "ui/ServerEditIds.h"
#include "ui/Templates.h"
#include "ui/toolkit/DialogBuilder.h"

using namespace serveredit;

namespace {

constexpr char kHelpTopic[] = "servers.htm";

}  // namespace

int RunServerEditDialog(QWidget* owner, ServerEditFields* fields) {
    QDialog dialog(owner);
    const DialogControls controls = BuildDialog(&dialog, *FindDialogTemplate(kServerEditDialogId));
    // The labels were measured for a narrower font; let them show their
    // whole text (there is room to their right).
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->sizeHint().width() > label->width())
            label->resize(label->sizeHint().width(), label->height());
    }
    auto* name = controls.Get<QLineEdit>(kNameField);
    auto* address = controls.Get<QLineEdit>(kAddressField);
    name->setText(QString::fromLocal8Bit(fields->name));
    address->setText(QString::fromLocal8Bit(fields->address));
    name->setFocus();

    QObject::connect(controls.Get<QPushButton>(IDOK), &QPushButton::clicked, &dialog,
                     &QDialog::accept);
    QObject::connect(controls.Get<QPushButton>(IDCANCEL), &QPushButton::clicked, &dialog,
                     &QDialog::reject);
    QObject::connect(controls.Get<QPushButton>(kHelpButton), &QPushButton::clicked, &dialog,
                     [] { ShowHelpTopic(kHelpTopic); });

    if (dialog.exec() != QDialog::Accepted) return IDCANCEL;
    // The fields keep everything typed; the list decides what fits.
    fields->name = name->text().toLocal8Bit().toStdString();
    fields->address = address->text().toLocal8Bit().toStdString();
    return IDOK;
}
