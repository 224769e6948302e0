#pragma once
// A remote broadcaster's stream in a small top-level window of its own,
// titled "name ( address )", its outer rectangle at (100, 100), 200 x 150.
// The picture fills the window, stretched; a mini control strip below it
// has play/pause, stop, the volume and a one-line state (connecting,
// buffering, playing, the error...). Playback starts at once and runs on
// GStreamer's playbin until the window closes, which stops the pipeline and
// releases it; a window closed by the user deletes itself. Owned by the main
// window, so it goes when that goes.
//
// Pictures come from the pipeline's streaming thread, which keeps only the
// newest one and asks the user-interface thread to show it; it never waits
// for the user-interface thread and never queues more than one frame.
// Sound goes to the default audio output; where none can be opened it is
// played into a clock-paced fake sink so that the picture still runs.

#include <QString>
#include <QWidget>
#include <atomic>
#include <mutex>

struct ServerEntry;
typedef struct _GstElement GstElement;
typedef struct _GstSample GstSample;

class QSlider;
class QToolButton;

class RemotePlayerWindow : public QWidget {
    Q_OBJECT

  public:
    enum class State { kConnecting, kBuffering, kPlaying, kPaused, kStopped, kEnded, kFailed };

    // Opens the window for entry's stream, owned by owner (may be null), and
    // starts playing. The window is not shown yet.
    RemotePlayerWindow(const ServerEntry& entry, QWidget* owner);
    ~RemotePlayerWindow() override;

    const QString& StreamAddress() const { return streamAddress_; }
    State CurrentState() const { return state_; }
    // The state line as it reads in full (the strip may show it shortened).
    QString StateText() const;
    // The widget the picture is drawn into.
    QWidget* VideoView() const { return video_; }
    // Pictures shown so far.
    int FramesShown() const { return framesShown_; }
    // The playbin, for tests that watch it go; null when it could not be made.
    GstElement* Pipeline() const { return pipeline_; }

    // The strip's commands.
    void Play();
    void Pause();
    void Stop();
    // 0 to 100.
    void SetVolume(int percent);

    static constexpr int kLeft = 100;
    static constexpr int kTop = 100;
    static constexpr int kWidth = 200;
    static constexpr int kHeight = 150;

  protected:
    bool event(QEvent* event) override;

  private:
    bool BuildPipeline();
    void StartPlaying();
    // Stops the pipeline and drops whatever the run still has on its way.
    void EndRun();
    void SetState(State state, const QString& detail = QString());
    void UpdateStrip();
    void ShowLatestFrame();
    // What the window acts on of a pipeline message, read on the posting
    // thread: the message type, the new state or buffer level, the error.
    struct PlayerEvent {
        int type = 0;
        int value = 0;
        QString text;
        bool unexplained = false;  // an error that names no cause
    };
    void HandleEvent(const PlayerEvent& event);
    // For an error that names no cause: asks the stream's server for a
    // connection and, when none comes, says why in the state line.
    void FindWhyItFailed();
    static constexpr int kConnectionProbeMs = 5000;
    void FitOuterRectangle();

    // The pipeline's callbacks, called on its streaming threads.
    friend struct PlayerCallbacks;

    QString streamAddress_;
    GstElement* pipeline_ = nullptr;
    State state_ = State::kConnecting;
    QString detail_;            // buffering percentage or the error's text
    bool wantPlaying_ = false;  // the user's last choice: play or pause
    bool buffering_ = false;
    bool live_ = false;             // a live source: no buffering pauses
    std::atomic<unsigned> run_{0};  // counts the starts and stops; tags bus messages
    bool outerFitted_ = false;

    QWidget* video_;
    QToolButton* playPause_;
    QToolButton* stop_;
    QSlider* volume_;
    QWidget* stateLine_;
    int framesShown_ = 0;

    // The newest picture, handed over from the streaming thread.
    std::mutex frameMutex_;
    GstSample* latestFrame_ = nullptr;
    std::atomic<bool> framePending_{false};
};
