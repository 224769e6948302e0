#pragma once
// The Options dialog: what the caption stamped into the video shows (the
// local date and time, or a text of the user's) and the two start-up choices.
// The dialog works on its own values; RunOptionsDialog fills them from the
// settings and copies them back on OK.

#include <QDialog>
#include <string>

#include "settings/AppSettings.h"
#include "ui/MainOptionsIds.h"
#include "ui/toolkit/DialogBuilder.h"

class QCheckBox;
class QLineEdit;
class QRadioButton;

// What the Options dialog edits.
struct OptionsValues {
    std::string captionText;  // in the local 8-bit encoding, at most 127 bytes
    int dateTime = 0;         // 1: the caption shows the date and time
    int autoStart = 0;        // check state: 0 or 1
    int minimizeToTray = 0;   // check state: 0 or 1
};

class MainOptions : public QDialog {
    Q_OBJECT

  public:
    // The longest caption text, in bytes, so that its terminator fits the
    // settings record.
    static constexpr int kMaxCaptionBytes = static_cast<int>(sizeof AppSettings::captionText) - 1;

    explicit MainOptions(QWidget* parent = nullptr);

    // Set before the dialog is shown; read after it ends with OK.
    void SetValues(const OptionsValues& values) { values_ = values; }
    const OptionsValues& Values() const { return values_; }

    // The controls by their template ids (ui/MainOptionsIds.h).
    const DialogControls& Controls() const { return controls_; }

    // OK: takes the radio buttons, the text and both check boxes, then
    // closes. Cancel (reject) keeps nothing.
    void accept() override;

    void setVisible(bool visible) override;

  private:
    // Puts the values into the controls; runs once, before the dialog is
    // first shown.
    void OnInitDialog();

    OptionsValues values_;
    DialogControls controls_;
    QRadioButton* dateTimeButton_;
    QRadioButton* customTextButton_;
    QLineEdit* captionEdit_;
    QCheckBox* autoStartBox_;
    QCheckBox* minimizeToTrayBox_;
    bool initialised_ = false;
};
