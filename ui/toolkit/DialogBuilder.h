#pragma once
// The layout engine: turns a dialog template into Qt widgets at the pixel
// rectangles its dialog units give with the dialog font, in the template's
// tab order. Dialogs, the main window and their tests all build through it.

#include <QFont>
#include <QRect>
#include <functional>
#include <vector>

#include "ui/toolkit/DialogTemplate.h"

class QWidget;

// Dialog units of a font: one unit across is a quarter of the font's average
// character width, one unit down an eighth of its character height.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}

    int BaseX() const { return baseX_; }  // average character width, pixels
    int BaseY() const { return baseY_; }  // character height, pixels
    int ToPixelsX(int units) const;
    int ToPixelsY(int units) const;
    // Left/top and right/bottom edges are converted on their own, so that
    // controls that meet in dialog units meet in pixels too.
    QRect ToPixels(int x, int y, int width, int height) const;

  private:
    int baseX_;
    int baseY_;
};

// Makes the widget for a control itself, or returns null to leave it to the
// engine (the main window puts its icon buttons, preview and meter in).
using ControlFactory = std::function<QWidget*(const ControlTemplate&, QWidget* parent)>;

// What a dialog was built into: its controls by design id, in tab order.
class DialogControls {
  public:
    struct Control {
        const ControlTemplate* control;
        QWidget* widget;
    };

    // The widget of a control id; null when the template has none.
    QWidget* Find(int id) const;
    template <typename T>
    T* Get(int id) const {
        return qobject_cast<T*>(Find(id));
    }
    const std::vector<Control>& All() const { return controls_; }

  private:
    friend DialogControls BuildDialog(QWidget*, const DialogTemplate&, const ControlFactory&);
    std::vector<Control> controls_;
};

// Builds every control of the template as a child of client, which takes the
// template's size in pixels as its fixed size; a top-level client also takes
// the caption as its title. Units come from client's font. Combo boxes keep
// their own height and use the template's for the length of their list; a
// control whose text needs more room than its box runs on to the right
// (see RunsOn).
DialogControls BuildDialog(QWidget* client, const DialogTemplate& dialog,
                           const ControlFactory& factory = {});

// Whether a control's box grows to the right to show its whole text: plain
// labels, check boxes and radio buttons.
bool RunsOn(const ControlTemplate& control);

// The text a template shows on a label: "&&" becomes "&" and a single '&'
// (a keyboard mnemonic) is dropped. Buttons take the template text as it is,
// since Qt reads the same mnemonics.
QString LabelText(const char* templateText);
