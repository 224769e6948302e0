#pragma once
// The program's help window: HTML pages from the help folder in a window of
// their own, with back, forward and contents. There is one window; asking
// for another page shows it there and raises the window.

#include <QWidget>
#include <string>

class QTextBrowser;
class QToolButton;

class HelpWindow : public QWidget {
    Q_OBJECT

  public:
    explicit HelpWindow(QWidget* parent = nullptr);

    // Shows a page file (a full path); false when it cannot be read.
    bool ShowPage(const std::string& path);
    QTextBrowser* Browser() const { return browser_; }

  private:
    QTextBrowser* browser_;
    QToolButton* back_;
    QToolButton* forward_;
    QToolButton* contents_;
    QString contentsPage_;
};

// Shows a page in the help window, creating it on first use; a page that
// cannot be read shows nothing and returns false.
bool ShowHelpPage(const std::string& path);

// The help window once it exists, else null.
HelpWindow* CurrentHelpWindow();
