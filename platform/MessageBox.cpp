#include "platform/MessageBox.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

std::mutex g_handlerMutex;
MessageBoxHandler g_handler;  // empty: StderrMessageBox

}  // namespace

std::vector<int> MessageBoxButtons(unsigned type) {
    switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return {IDOK, IDCANCEL};
        case MB_ABORTRETRYIGNORE:
            return {IDABORT, IDRETRY, IDIGNORE};
        case MB_YESNOCANCEL:
            return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO:
            return {IDYES, IDNO};
        case MB_RETRYCANCEL:
            return {IDRETRY, IDCANCEL};
        default:
            return {IDOK};
    }
}

int DefaultMessageBoxButton(unsigned type) {
    const std::vector<int> buttons = MessageBoxButtons(type);
    const std::size_t index = (type & MB_DEFMASK) >> 8;
    return index < buttons.size() ? buttons[index] : buttons.front();
}

std::string MessageBoxButtonsName(unsigned type) {
    switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return "OK/Cancel";
        case MB_ABORTRETRYIGNORE:
            return "Abort/Retry/Ignore";
        case MB_YESNOCANCEL:
            return "Yes/No/Cancel";
        case MB_YESNO:
            return "Yes/No";
        case MB_RETRYCANCEL:
            return "Retry/Cancel";
        default:
            return "OK";
    }
}

std::string MessageBoxIconName(unsigned type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONSTOP:
            return "stop";
        case MB_ICONQUESTION:
            return "question";
        case MB_ICONEXCLAMATION:
            return "exclamation";
        case MB_ICONINFORMATION:
            return "information";
        default:
            return "none";
    }
}

int StderrMessageBox(const std::string& text, const std::string& caption, unsigned type) {
    const int answer = DefaultMessageBoxButton(type);
    std::fprintf(stderr, "[message box] %s (%s, %s): %s\n", caption.c_str(),
                 MessageBoxIconName(type).c_str(), MessageBoxButtonsName(type).c_str(),
                 text.c_str());
    return answer;
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard lock(g_handlerMutex);
    return std::exchange(g_handler, std::move(handler));
}

int MessageBox(const char* text, const char* caption, unsigned type) {
    MessageBoxHandler handler;
    {
        std::lock_guard lock(g_handlerMutex);
        handler = g_handler;
    }
    const std::string textString = text ? text : "";
    const std::string captionString = caption ? caption : "Error";
    // The handler runs without the lock: a modal box may take a long time, and
    // other threads may need to show theirs meanwhile.
    const int answer = handler ? handler(textString, captionString, type)
                               : StderrMessageBox(textString, captionString, type);
    const std::vector<int> buttons = MessageBoxButtons(type);
    if (std::find(buttons.begin(), buttons.end(), answer) == buttons.end())
        return DefaultMessageBoxButton(type);
    return answer;
}

RecordingMessageBoxes::RecordingMessageBoxes() {
    previous_ = SetMessageBoxHandler([this](const std::string& text, const std::string& caption,
                                            unsigned type) { return Show(text, caption, type); });
}

RecordingMessageBoxes::~RecordingMessageBoxes() {
    SetMessageBoxHandler(std::move(previous_));
}

void RecordingMessageBoxes::QueueAnswer(int answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
}

std::vector<RecordingMessageBoxes::Box> RecordingMessageBoxes::Boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

std::size_t RecordingMessageBoxes::Count() const {
    std::lock_guard lock(mutex_);
    return boxes_.size();
}

void RecordingMessageBoxes::Clear() {
    std::lock_guard lock(mutex_);
    boxes_.clear();
    answers_.clear();
}

int RecordingMessageBoxes::Show(const std::string& text, const std::string& caption,
                                unsigned type) {
    std::lock_guard lock(mutex_);
    int answer = DefaultMessageBoxButton(type);
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.erase(answers_.begin());
        const std::vector<int> buttons = MessageBoxButtons(type);
        if (std::find(buttons.begin(), buttons.end(), answer) == buttons.end())
            answer = DefaultMessageBoxButton(type);
    }
    boxes_.push_back({text, caption, type, answer});
    return answer;
}
