#include "ui/RemotePlayerWindow.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QSlider>
#include <QStyle>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "platform/UniqueHandle.h"
#include "settings/ServerList.h"

namespace {

constexpr int kInitialVolume = 100;

// The picture, stretched over the whole widget; black until the first one.
// It paints every pixel itself, so nothing erases the background first and
// the picture does not flicker.
class VideoSurface : public QWidget {
  public:
    explicit VideoSurface(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setMinimumSize(1, 1);
    }
    void SetFrame(QImage frame) {
        frame_ = std::move(frame);
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        if (frame_.isNull())
            painter.fillRect(rect(), Qt::black);
        else
            painter.drawImage(rect(), frame_);
    }

  private:
    QImage frame_;
};

// The one-line state: shortened with an ellipsis where the strip is too
// narrow, the whole text in its tooltip.
class StateLine : public QWidget {
  public:
    explicit StateLine(QWidget* parent) : QWidget(parent) {
        setMinimumWidth(16);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    }
    void SetText(const QString& text) {
        text_ = text;
        setToolTip(text);
        update();
    }
    QSize sizeHint() const override { return QSize(60, fontMetrics().height()); }
    QSize minimumSizeHint() const override { return QSize(16, fontMetrics().height()); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text_, Qt::ElideRight, width()));
    }

  private:
    QString text_;
};

// A picture that keeps its buffer mapped for as long as some QImage uses it.
struct MappedFrame {
    GstBuffer* buffer;
    GstMapInfo map;
};

void ReleaseMappedFrame(void* data) {
    auto* frame = static_cast<MappedFrame*>(data);
    gst_buffer_unmap(frame->buffer, &frame->map);
    gst_buffer_unref(frame->buffer);
    delete frame;
}

// The sample's picture as a QImage over the sample's own bytes (BGRx, which
// is QImage's RGB32 in memory); null for a sample that is not such a picture.
QImage ImageOf(GstSample* sample) {
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstVideoInfo info;
    if (!caps || !buffer || !gst_video_info_from_caps(&info, caps)) return QImage();
    const int width = GST_VIDEO_INFO_WIDTH(&info);
    const int height = GST_VIDEO_INFO_HEIGHT(&info);
    gsize offset = GST_VIDEO_INFO_PLANE_OFFSET(&info, 0);
    int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
    if (const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer)) {
        offset = meta->offset[0];
        stride = meta->stride[0];
    }
    if (width <= 0 || height <= 0 || stride < width * 4) return QImage();

    auto* frame = new MappedFrame{gst_buffer_ref(buffer), {}};
    if (!gst_buffer_map(buffer, &frame->map, GST_MAP_READ)) {
        gst_buffer_unref(frame->buffer);
        delete frame;
        return QImage();
    }
    if (frame->map.size < offset + static_cast<gsize>(stride) * height) {
        ReleaseMappedFrame(frame);
        return QImage();
    }
    return QImage(static_cast<const uchar*>(frame->map.data) + offset, width, height, stride,
                  QImage::Format_RGB32, ReleaseMappedFrame, frame);
}

// A new element that is ours alone (not floating).
GstElement* MakeElement(const char* factory) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (element) gst_object_ref_sink(element);
    return element;
}

// The default audio output, or where none can be opened (no sound card, no
// sound server) a fake sink that still runs at the clock's pace.
GstElement* MakeAudioSink() {
    if (GstElement* sink = MakeElement("autoaudiosink")) {
        if (gst_element_set_state(sink, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE) return sink;
        gst_element_set_state(sink, GST_STATE_NULL);
        gst_object_unref(sink);
    }
    GstElement* sink = MakeElement("fakesink");
    if (sink) g_object_set(sink, "sync", TRUE, nullptr);
    return sink;
}

QString StateName(RemotePlayerWindow::State state) {
    using State = RemotePlayerWindow::State;
    switch (state) {
        case State::kConnecting:
            return QStringLiteral("Connecting...");
        case State::kBuffering:
            return QStringLiteral("Buffering");
        case State::kPlaying:
            return QStringLiteral("Playing");
        case State::kPaused:
            return QStringLiteral("Paused");
        case State::kStopped:
            return QStringLiteral("Stopped");
        case State::kEnded:
            return QStringLiteral("Stream ended");
        case State::kFailed:
            return QStringLiteral("Error");
    }
    return QString();
}

}  // namespace

struct PlayerCallbacks {
    // Streaming thread: keep the newest picture only, and ask the
    // user-interface thread to show it unless it has been asked already.
    static GstFlowReturn NewSample(GstAppSink* sink, gpointer data) {
        auto* self = static_cast<RemotePlayerWindow*>(data);
        GstSample* sample = gst_app_sink_pull_sample(sink);
        if (!sample) return GST_FLOW_OK;
        GstSample* older = nullptr;
        {
            std::lock_guard lock(self->frameMutex_);
            older = std::exchange(self->latestFrame_, sample);
        }
        if (older) gst_sample_unref(older);
        if (!self->framePending_.exchange(true)) {
            QMetaObject::invokeMethod(
                self, [self] { self->ShowLatestFrame(); }, Qt::QueuedConnection);
        }
        return GST_FLOW_OK;
    }

    // Any thread: what the window needs of a message is read here and goes
    // to the user-interface thread, tagged with the run it belongs to. Every
    // message is dropped, and a dropped message is the handler's to release
    // (each holds a reference to the element that posted it).
    static GstBusSyncReply BusMessage(GstBus*, GstMessage* message, gpointer data) {
        auto* self = static_cast<RemotePlayerWindow*>(data);
        if (const auto event = ReadMessage(self, message)) {
            const unsigned run = self->run_.load();
            QMetaObject::invokeMethod(
                self,
                [self, event = *event, run] {
                    if (run == self->run_.load()) self->HandleEvent(event);
                },
                Qt::QueuedConnection);
        }
        gst_message_unref(message);
        return GST_BUS_DROP;
    }

    static std::optional<RemotePlayerWindow::PlayerEvent> ReadMessage(RemotePlayerWindow* self,
                                                                      GstMessage* message) {
        RemotePlayerWindow::PlayerEvent event;
        event.type = GST_MESSAGE_TYPE(message);
        switch (event.type) {
            case GST_MESSAGE_STATE_CHANGED: {
                if (GST_MESSAGE_SRC(message) != GST_OBJECT(self->pipeline_)) return std::nullopt;
                GstState oldState, newState, pending;
                gst_message_parse_state_changed(message, &oldState, &newState, &pending);
                event.value = newState;
                break;
            }
            case GST_MESSAGE_ERROR: {
                GError* error = nullptr;
                gchar* debug = nullptr;
                gst_message_parse_error(message, &error, &debug);
                if (error && error->message) event.text = QString::fromUtf8(error->message);
                // The flow error a source gives when it says nothing of its
                // own: libsoup 3's HTTP source says so of a refused
                // connection.
                event.unexplained = error && error->domain == GST_STREAM_ERROR &&
                                    error->code == GST_STREAM_ERROR_FAILED;
                g_clear_error(&error);
                g_free(debug);
                break;
            }
            case GST_MESSAGE_BUFFERING:
                gst_message_parse_buffering(message, &event.value);
                break;
            case GST_MESSAGE_EOS:
            case GST_MESSAGE_CLOCK_LOST:
            case GST_MESSAGE_LATENCY:
                break;
            default:
                return std::nullopt;
        }
        return event;
    }
};

RemotePlayerWindow::RemotePlayerWindow(const ServerEntry& entry, QWidget* owner)
    : QWidget(owner, Qt::Window),
      streamAddress_(QString::fromLocal8Bit(ServerField(entry.address, sizeof entry.address))) {
    setAttribute(Qt::WA_DeleteOnClose);
    // Closing the last player while the main window sits in the tray must
    // not end the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(QString::fromLocal8Bit(ServerField(entry.name, sizeof entry.name)) +
                   QStringLiteral(" ( ") + streamAddress_ + QStringLiteral(" )"));

    video_ = new VideoSurface(this);
    playPause_ = new QToolButton(this);
    playPause_->setAutoRaise(true);
    stop_ = new QToolButton(this);
    stop_->setAutoRaise(true);
    stop_->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    stop_->setToolTip(QStringLiteral("Stop"));
    volume_ = new QSlider(Qt::Horizontal, this);
    volume_->setRange(0, 100);
    volume_->setValue(kInitialVolume);
    volume_->setFixedWidth(44);
    volume_->setToolTip(QStringLiteral("Volume"));
    stateLine_ = new StateLine(this);

    auto* strip = new QHBoxLayout;
    strip->setContentsMargins(2, 1, 4, 1);
    strip->setSpacing(2);
    strip->addWidget(playPause_);
    strip->addWidget(stop_);
    strip->addWidget(volume_);
    strip->addWidget(stateLine_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(video_, 1);
    layout->addLayout(strip);

    connect(playPause_, &QToolButton::clicked, this, [this] {
        if (wantPlaying_)
            Pause();
        else
            Play();
    });
    connect(stop_, &QToolButton::clicked, this, &RemotePlayerWindow::Stop);
    connect(volume_, &QSlider::valueChanged, this, &RemotePlayerWindow::SetVolume);

    // Offscreen and before a window manager frames it, this is the outer
    // rectangle too; FitOuterRectangle takes the frame off once it is known.
    move(kLeft, kTop);
    resize(kWidth, kHeight);

    // The owner closes its players when it closes, but a player is no
    // transient window of the owner's: Qt blocks the input of a transient of
    // a window that a modal dialog blocks, and the Servers dialog stays modal
    // over the main window while the players it opened play.
    create();
    windowHandle()->setTransientParent(nullptr);

    if (BuildPipeline()) {
        StartPlaying();
    } else {
        SetState(State::kFailed, QStringLiteral("the media player cannot be created"));
    }
}

RemotePlayerWindow::~RemotePlayerWindow() {
    if (pipeline_) {
        // Joins every streaming thread; no callback runs after this.
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        GstBus* bus = gst_element_get_bus(pipeline_);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        gst_object_unref(pipeline_);
        pipeline_ = nullptr;
    }
    if (latestFrame_) gst_sample_unref(latestFrame_);
}

bool RemotePlayerWindow::BuildPipeline() {
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
    using UniqueElement = UniqueHandle<GstElement, gst_object_unref>;
    UniqueElement playbin(MakeElement("playbin"));
    UniqueElement videoSink(MakeElement("appsink"));
    UniqueElement audioSink(MakeAudioSink());
    if (!playbin || !videoSink || !audioSink) return false;

    UniqueHandle<GstCaps, gst_caps_unref> caps(
        gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", nullptr));
    // One picture waits at most; a newer one replaces it.
    g_object_set(videoSink.get(), "caps", caps.get(), "max-buffers", 1u, "drop", TRUE, "sync", TRUE,
                 "enable-last-sample", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &PlayerCallbacks::NewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(videoSink.get()), &callbacks, this, nullptr);

    const QByteArray uri = streamAddress_.toUtf8();
    g_object_set(playbin.get(), "uri", uri.constData(), "video-sink", videoSink.get(), "audio-sink",
                 audioSink.get(), "volume", kInitialVolume / 100.0, nullptr);

    pipeline_ = playbin.release();
    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, &PlayerCallbacks::BusMessage, this, nullptr);
    gst_object_unref(bus);
    return true;
}

void RemotePlayerWindow::StartPlaying() {
    ++run_;
    buffering_ = false;
    wantPlaying_ = true;
    SetState(State::kConnecting);
    const GstStateChangeReturn result = gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    if (result == GST_STATE_CHANGE_FAILURE) {
        // The pipeline's own error, with the reason, follows on the bus.
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        wantPlaying_ = false;
        SetState(State::kFailed, QStringLiteral("the stream cannot be opened"));
    }
    live_ = result == GST_STATE_CHANGE_NO_PREROLL;
}

void RemotePlayerWindow::EndRun() {
    wantPlaying_ = false;
    buffering_ = false;
    // Joins the streaming threads, so every message of this run is posted,
    // tagged with it, before the tag moves on and they are dropped.
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    ++run_;
}

void RemotePlayerWindow::Play() {
    if (!pipeline_) return;
    if (state_ == State::kStopped || state_ == State::kEnded || state_ == State::kFailed) {
        StartPlaying();
        return;
    }
    wantPlaying_ = true;
    if (buffering_) {
        SetState(State::kBuffering, detail_);
    } else {
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
        UpdateStrip();
    }
}

void RemotePlayerWindow::Pause() {
    if (!pipeline_ || !wantPlaying_) return;
    wantPlaying_ = false;
    gst_element_set_state(pipeline_, GST_STATE_PAUSED);
    SetState(State::kPaused);
}

void RemotePlayerWindow::Stop() {
    if (!pipeline_) return;
    EndRun();
    GstSample* pending = nullptr;
    {
        std::lock_guard lock(frameMutex_);
        pending = std::exchange(latestFrame_, nullptr);
    }
    if (pending) gst_sample_unref(pending);
    static_cast<VideoSurface*>(video_)->SetFrame(QImage());
    SetState(State::kStopped);
}

void RemotePlayerWindow::SetVolume(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (volume_->value() != percent) volume_->setValue(percent);
    if (pipeline_) g_object_set(pipeline_, "volume", percent / 100.0, nullptr);
}

QString RemotePlayerWindow::StateText() const {
    QString text = StateName(state_);
    if (state_ == State::kBuffering && !detail_.isEmpty()) text += QLatin1Char(' ') + detail_ + '%';
    if (state_ == State::kFailed && !detail_.isEmpty()) text += QStringLiteral(": ") + detail_;
    return text;
}

void RemotePlayerWindow::SetState(State state, const QString& detail) {
    state_ = state;
    detail_ = detail;
    static_cast<StateLine*>(stateLine_)->SetText(StateText());
    UpdateStrip();
}

void RemotePlayerWindow::FindWhyItFailed() {
    // Whether the server takes a connection at all, without holding up the
    // window: a refusal or silence is what the viewer needs to know.
    const QUrl url(streamAddress_);
    const QString scheme = url.scheme().toLower();
    if (url.host().isEmpty() || (scheme != "http" && scheme != "https" && scheme != "mmsh")) return;
    const int port = url.port(scheme == "https" ? 443 : 80);
    const QString unexplained = detail_;
    const QString where = url.host() + ':' + QString::number(port);
    auto* probe = new QTcpSocket(this);
    const auto say = [this, probe, unexplained, where](const QString& why) {
        if (state_ == State::kFailed && detail_ == unexplained)
            SetState(State::kFailed, QStringLiteral("no connection to ") + where + ": " + why);
        probe->abort();
        probe->deleteLater();
    };
    connect(probe, &QTcpSocket::errorOccurred, this, [probe, say] { say(probe->errorString()); });
    connect(probe, &QTcpSocket::connected, this, [probe] {
        probe->abort();  // it answers: the stream's own error stands
        probe->deleteLater();
    });
    QTimer::singleShot(kConnectionProbeMs, probe, [probe, say] {
        if (probe->state() != QAbstractSocket::ConnectedState) say(QStringLiteral("no answer"));
    });
    probe->connectToHost(url.host(), static_cast<quint16>(port));
}

void RemotePlayerWindow::UpdateStrip() {
    playPause_->setIcon(
        style()->standardIcon(wantPlaying_ ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
    playPause_->setToolTip(wantPlaying_ ? QStringLiteral("Pause") : QStringLiteral("Play"));
}

void RemotePlayerWindow::ShowLatestFrame() {
    GstSample* sample = nullptr;
    {
        std::lock_guard lock(frameMutex_);
        sample = std::exchange(latestFrame_, nullptr);
        framePending_ = false;
    }
    if (!sample) return;
    QImage image = ImageOf(sample);
    gst_sample_unref(sample);
    if (image.isNull()) return;
    static_cast<VideoSurface*>(video_)->SetFrame(std::move(image));
    ++framesShown_;
}

void RemotePlayerWindow::HandleEvent(const PlayerEvent& event) {
    if (!pipeline_) return;
    switch (event.type) {
        case GST_MESSAGE_ERROR:
            EndRun();  // the first error says why; what follows says nothing new
            SetState(State::kFailed,
                     event.text.isEmpty() ? QStringLiteral("the stream failed") : event.text);
            if (event.unexplained) FindWhyItFailed();
            break;
        case GST_MESSAGE_EOS:
            EndRun();
            SetState(State::kEnded);
            break;
        case GST_MESSAGE_BUFFERING: {
            if (live_) break;  // a live source does not wait for a full buffer
            const int percent = event.value;
            if (percent < 100) {
                if (!buffering_ && wantPlaying_) gst_element_set_state(pipeline_, GST_STATE_PAUSED);
                buffering_ = true;
                if (wantPlaying_) SetState(State::kBuffering, QString::number(percent));
            } else {
                buffering_ = false;
                if (wantPlaying_) gst_element_set_state(pipeline_, GST_STATE_PLAYING);
            }
            break;
        }
        case GST_MESSAGE_STATE_CHANGED:
            if (event.value == GST_STATE_PLAYING && !buffering_) SetState(State::kPlaying);
            break;
        case GST_MESSAGE_CLOCK_LOST:
            if (wantPlaying_ && !buffering_) {
                gst_element_set_state(pipeline_, GST_STATE_PAUSED);
                gst_element_set_state(pipeline_, GST_STATE_PLAYING);
            }
            break;
        case GST_MESSAGE_LATENCY:
            gst_bin_recalculate_latency(GST_BIN(pipeline_));
            break;
        default:
            break;
    }
}

void RemotePlayerWindow::FitOuterRectangle() {
    if (outerFitted_ || !isVisible() || !windowHandle()) return;
    const QMargins frame = windowHandle()->frameMargins();
    if (frame.isNull()) return;  // no frame, or not known yet
    outerFitted_ = true;
    resize(kWidth - frame.left() - frame.right(), kHeight - frame.top() - frame.bottom());
    move(kLeft, kTop);
}

bool RemotePlayerWindow::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    switch (event->type()) {
        case QEvent::Show:
        case QEvent::Move:
        case QEvent::Resize:
            FitOuterRectangle();
            break;
        default:
            break;
    }
    return handled;
}
