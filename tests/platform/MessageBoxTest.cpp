#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/MessageBox.h"

namespace {

TEST(MessageBox, ButtonsAndDefaultButtonByType) {
    struct Case {
        unsigned type;
        std::vector<int> buttons;
        int defaultButton;
    };
    const std::vector<Case> cases = {
        {MB_OK, {IDOK}, IDOK},
        {MB_OK | MB_ICONSTOP, {IDOK}, IDOK},
        {MB_OK | MB_DEFBUTTON2, {IDOK}, IDOK},  // names a button it lacks
        {MB_OKCANCEL, {IDOK, IDCANCEL}, IDOK},
        {MB_OKCANCEL | MB_DEFBUTTON2, {IDOK, IDCANCEL}, IDCANCEL},
        {MB_YESNO | MB_ICONQUESTION, {IDYES, IDNO}, IDYES},
        {MB_YESNO | MB_DEFBUTTON2, {IDYES, IDNO}, IDNO},
        {MB_YESNO | MB_DEFBUTTON3, {IDYES, IDNO}, IDYES},
        {MB_YESNOCANCEL, {IDYES, IDNO, IDCANCEL}, IDYES},
        {MB_YESNOCANCEL | MB_DEFBUTTON3 | MB_ICONEXCLAMATION, {IDYES, IDNO, IDCANCEL}, IDCANCEL},
        {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, {IDABORT, IDRETRY, IDIGNORE}, IDRETRY},
        {MB_RETRYCANCEL, {IDRETRY, IDCANCEL}, IDRETRY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << c.type);
        EXPECT_EQ(MessageBoxButtons(c.type), c.buttons);
        EXPECT_EQ(DefaultMessageBoxButton(c.type), c.defaultButton);
    }
}

TEST(MessageBox, DefaultHandlerPrintsToStandardErrorAndAnswersDefault) {
    testing::internal::CaptureStderr();
    const int answer = MessageBox("Do you want to save current configuration?", "Lumacast",
                                  MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, IDNO);
    EXPECT_NE(printed.find("Do you want to save current configuration?"), std::string::npos);
    EXPECT_NE(printed.find("Lumacast"), std::string::npos);
    EXPECT_NE(printed.find("Yes/No"), std::string::npos);
    EXPECT_NE(printed.find("question"), std::string::npos);
}

TEST(MessageBox, RecorderCapturesBoxesAndAnswersFromItsQueue) {
    RecordingMessageBoxes boxes;
    boxes.QueueAnswer(IDNO);
    boxes.QueueAnswer(IDRETRY);  // not a button of the next box: default instead
    EXPECT_EQ(MessageBox("first", "Caption", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(MessageBox("second", nullptr, MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
    EXPECT_EQ(MessageBox(nullptr, "Third", MB_OK), IDOK);  // queue empty: default

    const auto recorded = boxes.Boxes();
    ASSERT_EQ(recorded.size(), 3u);
    EXPECT_EQ(recorded[0].text, "first");
    EXPECT_EQ(recorded[0].caption, "Caption");
    EXPECT_EQ(recorded[0].type, MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(recorded[0].answer, IDNO);
    EXPECT_EQ(recorded[1].caption, "Error");  // a null caption reads "Error"
    EXPECT_EQ(recorded[1].answer, IDCANCEL);
    EXPECT_EQ(recorded[2].text, "");
}

TEST(MessageBox, HandlerAnswerOutsideTheButtonsBecomesTheDefault) {
    auto previous = SetMessageBoxHandler(
        [](const std::string&, const std::string&, unsigned) { return 12345; });
    EXPECT_EQ(MessageBox("x", "y", MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
    EXPECT_EQ(MessageBox("x", "y", MB_OK), IDOK);
    SetMessageBoxHandler(std::move(previous));
}

TEST(MessageBox, NestedRecordersRestoreTheirPredecessors) {
    RecordingMessageBoxes outer;
    {
        RecordingMessageBoxes inner;
        MessageBox("to inner", "c", MB_OK);
        EXPECT_EQ(inner.Count(), 1u);
    }
    MessageBox("to outer", "c", MB_OK);
    ASSERT_EQ(outer.Count(), 1u);
    EXPECT_EQ(outer.Boxes()[0].text, "to outer");
}

TEST(MessageBox, BoxesFromSeveralThreadsAreAllRecorded) {
    RecordingMessageBoxes boxes;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 100; ++i) MessageBox("from a thread", "c", MB_OK);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(boxes.Count(), 400u);
}

}  // namespace
