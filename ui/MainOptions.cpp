#include "ui/MainOptions.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QValidator>

#include "platform/MessageBox.h"
#include "ui/MainOptionsIds.h"
#include "ui/Templates.h"

using namespace mainoptions;

namespace {

// Refuses an edit that would make the text longer than the settings record
// holds. The record keeps bytes of the local encoding, so a character may
// take more than one of the 127.
class ByteLengthValidator : public QValidator {
  public:
    ByteLengthValidator(int maxBytes, QObject* parent) : QValidator(parent), maxBytes_(maxBytes) {}

    State validate(QString& input, int&) const override {
        return input.toLocal8Bit().size() <= maxBytes_ ? Acceptable : Invalid;
    }

  private:
    int maxBytes_;
};

}  // namespace

MainOptions::MainOptions(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    controls_ = BuildDialog(this, *FindDialogTemplate(kOptionsDialogId));
    dateTimeButton_ = controls_.Get<QRadioButton>(kDateTimeButton);
    customTextButton_ = controls_.Get<QRadioButton>(kCustomTextButton);
    captionEdit_ = controls_.Get<QLineEdit>(kCaptionEdit);
    autoStartBox_ = controls_.Get<QCheckBox>(kAutoStartBox);
    minimizeToTrayBox_ = controls_.Get<QCheckBox>(kMinimizeToTrayBox);

    captionEdit_->setMaxLength(kMaxCaptionBytes);
    captionEdit_->setValidator(new ByteLengthValidator(kMaxCaptionBytes, captionEdit_));

    connect(dateTimeButton_, &QRadioButton::clicked, this,
            [this] { captionEdit_->setEnabled(false); });
    connect(customTextButton_, &QRadioButton::clicked, this,
            [this] { captionEdit_->setEnabled(true); });
    connect(controls_.Get<QAbstractButton>(IDOK), &QAbstractButton::clicked, this,
            &MainOptions::accept);
    connect(controls_.Get<QAbstractButton>(IDCANCEL), &QAbstractButton::clicked, this,
            &MainOptions::reject);
}

void MainOptions::setVisible(bool visible) {
    if (visible && !initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    QDialog::setVisible(visible);
}

void MainOptions::OnInitDialog() {
    captionEdit_->setText(QString::fromLocal8Bit(
        values_.captionText.data(), static_cast<qsizetype>(values_.captionText.size())));
    autoStartBox_->setChecked(values_.autoStart != 0);
    minimizeToTrayBox_->setChecked(values_.minimizeToTray != 0);
    captionEdit_->setEnabled(values_.dateTime == 0);
    (values_.dateTime ? dateTimeButton_ : customTextButton_)->setChecked(true);
}

void MainOptions::accept() {
    values_.dateTime = dateTimeButton_->isChecked() ? 1 : 0;
    QByteArray text = captionEdit_->text().toLocal8Bit();
    // Text put in other than by typing is cut to what the record holds,
    // never inside a character of a multi-byte encoding.
    while (text.size() > kMaxCaptionBytes) {
        QString shorter = QString::fromLocal8Bit(text);
        shorter.chop(1);
        text = shorter.toLocal8Bit();
    }
    values_.captionText.assign(text.constData(), static_cast<std::size_t>(text.size()));
    values_.autoStart = autoStartBox_->isChecked() ? 1 : 0;
    values_.minimizeToTray = minimizeToTrayBox_->isChecked() ? 1 : 0;
    QDialog::accept();
}
