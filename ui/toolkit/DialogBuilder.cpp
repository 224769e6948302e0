#include "ui/toolkit/DialogBuilder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QTreeWidget>
#include <algorithm>

#include "ui/toolkit/UpDownControl.h"

namespace {

// Rounded a * b / c for the non-negative values of a layout, as the system's
// own conversion rounds.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    return static_cast<int>(product >= 0 ? (product + c / 2) / c : (product - c / 2) / c);
}

// A list view in report view. Moving through it by keyboard selects the row
// it lands on, also the row that already held the focus mark unselected
// (Home on the first row), where Qt would leave it unselected.
class ReportView : public QTreeWidget {
  public:
    using QTreeWidget::QTreeWidget;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        QTreeWidget::keyPressEvent(event);
        switch (event->key()) {
            case Qt::Key_Up:
            case Qt::Key_Down:
            case Qt::Key_Home:
            case Qt::Key_End:
            case Qt::Key_PageUp:
            case Qt::Key_PageDown:
                break;
            default:
                return;
        }
        const QModelIndex current = currentIndex();
        if (selectionMode() == SingleSelection && current.isValid() &&
            !selectionModel()->isSelected(current)) {
            selectionModel()->select(
                current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        }
    }
};

QWidget* MakeControl(const ControlTemplate& control, QWidget* parent) {
    const QString text = QString::fromLocal8Bit(control.text);
    switch (control.kind) {
        case ControlKind::GroupBox: {
            auto* group = new QGroupBox(text, parent);
            // The frame runs through the middle of the title, as dialogs draw it.
            group->setStyleSheet(QStringLiteral(
                "QGroupBox { border: 1px solid palette(mid); border-radius: 2px;"
                " margin-top: 0.55em; }"
                "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                " left: 6px; padding: 0px; }"));
            return group;
        }
        case ControlKind::Label: {
            auto* label = new QLabel(LabelText(control.text), parent);
            label->setAlignment((control.style & kStyleRight ? Qt::AlignRight : Qt::AlignLeft) |
                                Qt::AlignTop);
            if (control.style & kStyleSunken) {
                label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                label->setAlignment((control.style & kStyleRight ? Qt::AlignRight : Qt::AlignLeft) |
                                    Qt::AlignVCenter);
            }
            return label;
        }
        case ControlKind::Frame: {
            auto* frame = new QFrame(parent);
            if (control.style & kStyleSunken) frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            if (control.style & kStyleBlackRect) {
                QPalette palette = frame->palette();
                palette.setColor(QPalette::Window, Qt::black);
                frame->setPalette(palette);
                frame->setAutoFillBackground(true);
            }
            return frame;
        }
        case ControlKind::Icon: {
            auto* icon = new QLabel(parent);
            icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            return icon;
        }
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton: {
            auto* button = new QPushButton(text, parent);
            // Enter presses the push button that has the focus; on any other
            // control it presses the dialog's default button.
            button->setAutoDefault(true);
            button->setDefault(control.kind == ControlKind::DefaultPushButton);
            return button;
        }
        case ControlKind::ComboBox:
            return new QComboBox(parent);
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(parent);
            if (control.style & kStyleRight) edit->setAlignment(Qt::AlignRight);
            if (control.style & kStyleReadOnly) edit->setReadOnly(true);
            if (control.style & kStyleNumber) {
                // Typing takes digits only; text put in by other means stays as it is.
                edit->setValidator(new QRegularExpressionValidator(
                    QRegularExpression(QStringLiteral("[0-9]*")), edit));
            }
            return edit;
        }
        case ControlKind::UpDown:
            return new UpDownControl(parent);
        case ControlKind::Trackbar: {
            auto* slider =
                new QSlider(control.style & kStyleVertical ? Qt::Vertical : Qt::Horizontal, parent);
            if (control.style & kStyleVertical) {
                // A vertical trackbar has its minimum at the top.
                slider->setInvertedAppearance(true);
                slider->setInvertedControls(true);
            }
            slider->setTickPosition(control.style & kStyleNoTicks ? QSlider::NoTicks
                                                                  : QSlider::TicksBothSides);
            return slider;
        }
        case ControlKind::ListView: {
            auto* list = new ReportView(parent);
            list->setRootIsDecorated(false);
            list->setUniformRowHeights(true);
            list->setItemsExpandable(false);
            list->setSelectionMode(control.style & kStyleSingleSel
                                       ? QAbstractItemView::SingleSelection
                                       : QAbstractItemView::ExtendedSelection);
            list->header()->setStretchLastSection(false);
            list->header()->setSectionsMovable(false);
            return list;
        }
        case ControlKind::RadioButton:
            return new QRadioButton(text, parent);
        case ControlKind::CheckBox:
            return new QCheckBox(text, parent);
    }
    return new QWidget(parent);
}

}  // namespace

bool RunsOn(const ControlTemplate& control) {
    switch (control.kind) {
        case ControlKind::Label:
            return !(control.style & (kStyleSunken | kStyleRight));
        case ControlKind::CheckBox:
        case ControlKind::RadioButton:
            return true;
        default:
            return false;
    }
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width the system takes for dialog units: the width of the
    // 52 letters over 26, halved with rounding up.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = (letters / 26 + 1) / 2;
    baseY_ = metrics.height();
}

int DialogUnits::ToPixelsX(int units) const {
    return MulDiv(units, baseX_, 4);
}

int DialogUnits::ToPixelsY(int units) const {
    return MulDiv(units, baseY_, 8);
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    const int left = ToPixelsX(x);
    const int top = ToPixelsY(y);
    return QRect(left, top, ToPixelsX(x + width) - left, ToPixelsY(y + height) - top);
}

QWidget* DialogControls::Find(int id) const {
    for (const Control& entry : controls_) {
        if (entry.control->id == id && id != -1) return entry.widget;
    }
    return nullptr;
}

DialogControls BuildDialog(QWidget* client, const DialogTemplate& dialog,
                           const ControlFactory& factory) {
    const DialogUnits units(client->font());
    client->setFixedSize(units.ToPixelsX(dialog.width), units.ToPixelsY(dialog.height));
    if (client->isWindow()) client->setWindowTitle(QString::fromLocal8Bit(dialog.caption));

    DialogControls built;
    QWidget* previousFocusable = nullptr;
    for (const ControlTemplate& control : dialog.controls) {
        QWidget* widget = factory ? factory(control, client) : nullptr;
        if (!widget) widget = MakeControl(control, client);
        if (control.id != -1) widget->setObjectName(QString::number(control.id));
        QRect rect = units.ToPixels(control.x, control.y, control.width, control.height);
        if (auto* combo = qobject_cast<QComboBox*>(widget)) {
            // The template's height is the dropped list's; the box keeps its own.
            const int boxHeight = combo->sizeHint().height();
            const int itemHeight = std::max(QFontMetrics(combo->font()).height(), 1);
            combo->setMaxVisibleItems(std::max((rect.height() - boxHeight) / itemHeight, 1));
            rect.setHeight(boxHeight);
        }
        if (RunsOn(control)) {
            // Text is never cut: a control whose text is wider than its box
            // in this font runs on to the right, as far as its text needs.
            rect.setWidth(std::max(rect.width(), widget->sizeHint().width()));
        }
        widget->setGeometry(rect);
        if (control.style & kStyleDisabled) widget->setEnabled(false);
        if (widget->focusPolicy() != Qt::NoFocus) {
            if (previousFocusable) QWidget::setTabOrder(previousFocusable, widget);
            previousFocusable = widget;
        }
        built.controls_.push_back({&control, widget});
    }
    return built;
}

QString LabelText(const char* templateText) {
    QString shown;
    const QString text = QString::fromLocal8Bit(templateText);
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&')) {
            if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) {
                shown += QLatin1Char('&');
                ++i;
            }
            continue;
        }
        shown += text[i];
    }
    return shown;
}
