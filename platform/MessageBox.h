#pragma once
// Message boxes: a fixed text, a caption, a set of buttons and an icon; the
// answer is the button the user pressed. Every part of the program asks
// through MessageBox(); what actually shows the box is a replaceable handler.
// Until a user interface installs its own, the default handler prints the box
// to standard error and answers with the default button, so headless runs and
// tests never block.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Buttons (low four bits of the type).
constexpr unsigned MB_OK = 0x00000000u;
constexpr unsigned MB_OKCANCEL = 0x00000001u;
constexpr unsigned MB_ABORTRETRYIGNORE = 0x00000002u;
constexpr unsigned MB_YESNOCANCEL = 0x00000003u;
constexpr unsigned MB_YESNO = 0x00000004u;
constexpr unsigned MB_RETRYCANCEL = 0x00000005u;
constexpr unsigned MB_TYPEMASK = 0x0000000Fu;

// Icons.
constexpr unsigned MB_ICONHAND = 0x00000010u;
constexpr unsigned MB_ICONSTOP = MB_ICONHAND;
constexpr unsigned MB_ICONERROR = MB_ICONHAND;
constexpr unsigned MB_ICONQUESTION = 0x00000020u;
constexpr unsigned MB_ICONEXCLAMATION = 0x00000030u;
constexpr unsigned MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr unsigned MB_ICONASTERISK = 0x00000040u;
constexpr unsigned MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr unsigned MB_ICONMASK = 0x000000F0u;

// Which button has the focus.
constexpr unsigned MB_DEFBUTTON1 = 0x00000000u;
constexpr unsigned MB_DEFBUTTON2 = 0x00000100u;
constexpr unsigned MB_DEFBUTTON3 = 0x00000200u;
constexpr unsigned MB_DEFMASK = 0x00000F00u;

// Answers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Shows a message box and returns the button pressed (IDOK, IDYES, ...).
// A null caption shows "Error". Callable from any thread; the handler decides
// how a box from a thread other than the user-interface thread is shown.
int MessageBox(const char* text, const char* caption, unsigned type);

// The buttons a type shows, in order, e.g. {IDYES, IDNO} for MB_YESNO.
std::vector<int> MessageBoxButtons(unsigned type);

// The button that Enter would press: the one MB_DEFBUTTONn names, or the
// first one when the type names a button it does not have.
int DefaultMessageBoxButton(unsigned type);

// Readable names for logs and the text handler: "Yes/No", "question".
std::string MessageBoxButtonsName(unsigned type);
std::string MessageBoxIconName(unsigned type);

// What shows a box. It receives the text and caption (never null) and the type
// and returns one of the type's buttons; any other answer is replaced by the
// default button.
using MessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, unsigned type)>;

// Installs a handler and returns the previous one; an empty handler restores
// the standard-error default. The Qt user interface installs its own at start.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// The default handler: one line on standard error, answered with the default
// button.
int StderrMessageBox(const std::string& text, const std::string& caption, unsigned type);

// Test double: while it lives, every message box is recorded instead of shown
// and answered from a queue of scripted answers (then the default button).
// Restores the previous handler when it goes.
class RecordingMessageBoxes {
  public:
    struct Box {
        std::string text;
        std::string caption;
        unsigned type = 0;
        int answer = 0;
    };

    RecordingMessageBoxes();
    ~RecordingMessageBoxes();
    RecordingMessageBoxes(const RecordingMessageBoxes&) = delete;
    RecordingMessageBoxes& operator=(const RecordingMessageBoxes&) = delete;

    // Answers for the next boxes, in order.
    void QueueAnswer(int answer);
    std::vector<Box> Boxes() const;
    std::size_t Count() const;
    void Clear();

  private:
    int Show(const std::string& text, const std::string& caption, unsigned type);

    mutable std::mutex mutex_;
    std::vector<Box> boxes_;
    std::vector<int> answers_;
    MessageBoxHandler previous_;
};
