// lumasrv: the Lumacast program. With --headless it runs without a window:
// the web server, the capture preview and a broadcast, until SIGINT or SIGTERM.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <QGuiApplication>
#include <QMetaObject>

#include "app/BroadcastSession.h"
#include "app/HeadlessView.h"
#include "diag/ErrorTrail.h"
#include "diag/ProgramPath.h"
#include "media/CapLib.h"
#include "media/WmProfile.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "web/HttpServer.h"

namespace {

// The audio device's capture format that delivers what the chosen audio
// codec format takes (16-bit, same rate and channels), or -1.
int MatchingCaptureFormat(CapLib& capture, int audioIndex) {
    std::unique_ptr<WAVEFORMATEX[]> formats;
    const int count = capture.GetAudioCaptureFormats(audioIndex, &formats);
    WmProfile profile;
    if (count == 0 || FAILED(profile.Create())) return -1;
    WAVEFORMATEX codec{};
    std::uint8_t bytes[20] = {};
    if (FAILED(profile.GetAudioFormat(static_cast<std::uint32_t>(g_settings.audioCodecIndex),
                                      static_cast<std::uint32_t>(g_settings.audioFormatIndex),
                                      bytes))) {
        return -1;
    }
    std::memcpy(&codec, bytes, sizeof codec);
    for (int i = 0; i < count; ++i) {
        if (formats[i].wBitsPerSample == 16 && formats[i].nChannels == codec.nChannels &&
            formats[i].nSamplesPerSec == codec.nSamplesPerSec) {
            return i;
        }
    }
    return -1;
}

// A configuration that chooses no device at all gets the first camera and
// microphone for this run; the file is not changed.
void ChooseDevicesForThisRun(CapLib& capture) {
    if (g_settings.videoDeviceIndex != -1 || g_settings.audioDeviceIndex != -1) return;
    if (capture.GetVideoDeviceCount() > 0) g_settings.videoDeviceIndex = 0;
    if (capture.GetAudioDeviceCount() > 0) {
        g_settings.audioDeviceIndex = 0;
        const int format = MatchingCaptureFormat(capture, 0);
        if (format >= 0) g_settings.audioCaptureFormatIndex = format;
    }
}

// "--video-size WIDTHxHEIGHT": the camera's format of that size for this
// run, when it has one (for tests and benchmarks of larger pictures).
void ChooseVideoSize(CapLib& capture, int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        int width = 0, height = 0;
        if (std::strcmp(argv[i], "--video-size") != 0 ||
            std::sscanf(argv[i + 1], "%dx%d", &width, &height) != 2)
            continue;
        for (const MediaType& format : capture.GetVideoFormats()) {
            const VIDEOINFOHEADER* info = format.VideoInfo();
            if (info && info->bmiHeader.biWidth == width &&
                std::abs(info->bmiHeader.biHeight) == height) {
                capture.SetVideoFormat(format);
                return;
            }
        }
        std::fprintf(stderr, "lumasrv: the camera has no %dx%d format\n", width, height);
    }
}

int RunHeadless(int argc, char** argv) {
    // Caption drawing needs a GUI application; without a display it draws offscreen.
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // SIGINT and SIGTERM are taken by a thread of their own; every other
    // thread inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QGuiApplication application(argc, argv);

    DetermineProgramDir();
    LoadConfig();

    HttpServer webServer;
    if (!webServer.Start(programDir, "index.htm", g_settings.httpPort, 30000)) {
        std::fprintf(stderr, "lumasrv: the web server could not listen on port %d\n",
                     g_settings.httpPort);
    }

    CapLib capture;
    ChooseDevicesForThisRun(capture);
    HeadlessView view(g_settings.httpPort, stdout);
    BroadcastSession session(&capture, &view);
    session.ConfigureCapture();
    ChooseVideoSize(capture, argc, argv);
    m_hDlg = &session;
    session.StartBroadcast();
    if (!session.IsRunning()) {
        // Without a window nobody would ever see why: write the trail out.
        WriteErrorDump();
        std::fprintf(stderr, "lumasrv: the broadcast did not start; the failed steps are in %s\n",
                     ReplaceLastThree(ProgramPath(), "log").c_str());
    }

    std::thread signalWaiter([&stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    signalWaiter.detach();
    application.exec();

    session.StopBroadcast();
    capture.Close();
    m_hDlg = nullptr;
    webServer.Shutdown();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) return RunHeadless(argc, argv);
    }
    std::fprintf(stderr,
                 "lumasrv: this build runs without a window only; start it as "
                 "'lumasrv --headless'\n");
    return 2;
}
