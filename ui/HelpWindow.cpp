#include "ui/HelpWindow.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPointer>
#include <QTextBrowser>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QPointer<HelpWindow> g_helpWindow;

}  // namespace

HelpWindow::HelpWindow(QWidget* parent)
    : QWidget(parent, Qt::Window),
      browser_(new QTextBrowser(this)),
      back_(new QToolButton(this)),
      forward_(new QToolButton(this)),
      contents_(new QToolButton(this)) {
    setWindowTitle(tr("Lumacast help"));
    setAttribute(Qt::WA_DeleteOnClose);
    back_->setText(tr("Back"));
    forward_->setText(tr("Forward"));
    contents_->setText(tr("Contents"));
    back_->setEnabled(false);
    forward_->setEnabled(false);
    // Links to other sites open in the user's browser, not here.
    browser_->setOpenExternalLinks(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(back_);
    buttons->addWidget(forward_);
    buttons->addWidget(contents_);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(browser_);
    resize(640, 560);

    connect(back_, &QToolButton::clicked, browser_, &QTextBrowser::backward);
    connect(forward_, &QToolButton::clicked, browser_, &QTextBrowser::forward);
    connect(browser_, &QTextBrowser::backwardAvailable, back_, &QToolButton::setEnabled);
    connect(browser_, &QTextBrowser::forwardAvailable, forward_, &QToolButton::setEnabled);
    connect(contents_, &QToolButton::clicked, this, [this] {
        if (!contentsPage_.isEmpty()) browser_->setSource(QUrl::fromLocalFile(contentsPage_));
    });
    connect(browser_, &QTextBrowser::sourceChanged, this,
            [this] { setWindowTitle(browser_->documentTitle()); });
}

bool HelpWindow::ShowPage(const std::string& path) {
    const QFileInfo page(QString::fromStdString(path));
    if (!page.isFile() || !page.isReadable()) return false;
    contentsPage_ = page.absoluteDir().filePath(QStringLiteral("index.htm"));
    browser_->setSource(QUrl::fromLocalFile(page.absoluteFilePath()));
    return true;
}

bool ShowHelpPage(const std::string& path) {
    const QFileInfo page(QString::fromStdString(path));
    if (!page.isFile() || !page.isReadable()) return false;
    if (!g_helpWindow) g_helpWindow = new HelpWindow;
    g_helpWindow->ShowPage(path);
    g_helpWindow->show();
    g_helpWindow->raise();
    g_helpWindow->activateWindow();
    return true;
}

HelpWindow* CurrentHelpWindow() {
    return g_helpWindow.data();
}
