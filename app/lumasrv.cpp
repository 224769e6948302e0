// lumasrv: the Lumacast program. It opens its main window on the desktop; with
// --headless it runs without a window: the web server, the capture preview
// and a broadcast, until SIGINT or SIGTERM. With --viewer-password it sets
// the viewer password from a line of standard input and ends. --help and
// --version answer and end; any other argument that is not one of Qt's own
// options is refused (exit 2).

#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "app/BroadcastApp.h"
#include "app/BroadcastSession.h"
#include "app/HeadlessView.h"
#include "app/IndexPage.h"
#include "app/PortProblem.h"
#include "app/ViewerAccessFile.h"
#include "diag/ErrorTrail.h"
#include "diag/ProgramPath.h"
#include "media/CapLib.h"
#include "media/WmProfile.h"
#include "platform/StopSignals.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "settings/RelayConfig.h"
#include "ui/Icons.h"
#include "ui/toolkit/QtMessageBox.h"
#include "web/HttpServer.h"
#include "web/OpenFileLimit.h"

namespace {

// Server setup, which the port messages send the user to, has no place here.
constexpr char kWhereServerSetupIs[] =
    "Server setup is in lumasrv's window on a desktop; lumasrv --headless then "
    "takes the saved configuration.";

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

int RunHeadless(int argc, char** argv) {
    // Caption drawing needs a GUI application; without a display it draws offscreen.
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    // SIGINT and SIGTERM are taken by a thread of their own; every other
    // thread inherits the blocked mask.
    sigset_t stopSignals = BlockStopSignals();
    // Whoever reads the program's output may go away (a pipe to head, a
    // closed terminal); the broadcast goes on all the same.
    std::signal(SIGPIPE, SIG_IGN);

    // Each viewer and page request takes a descriptor; the servers bound
    // their connections by what this leaves.
    RaiseOpenFileLimit();

    QGuiApplication application(argc, argv);

    DetermineProgramDir();
    if (!filesDir.empty() && ::chdir(filesDir.c_str()) != 0) {
        std::perror("lumasrv: cannot enter the folder of its files");
    }
    LoadConfig();

    std::string accessProblem;
    ViewerAccess access(LoadViewerAccess(&accessProblem));
    if (!accessProblem.empty()) std::fprintf(stderr, "lumasrv: %s\n", accessProblem.c_str());
    std::string tlsProblem;
    const std::unique_ptr<TlsContext> tls = OpenViewerTls(access.Settings(), &tlsProblem);
    if (!tlsProblem.empty()) {
        // Nothing goes out in the clear when encryption was asked for.
        std::fprintf(stderr, "lumasrv: %s; nothing is served without HTTPS\n", tlsProblem.c_str());
        return 1;
    }
    if (tls) {
        std::fprintf(stderr, "lumasrv: HTTPS with %s certificate, SHA-256 fingerprint %s\n",
                     tls->SelfSigned() ? "this computer's own" : "your",
                     tls->Fingerprint().c_str());
    }

    HttpServer webServer(ViewerFiles());
    webServer.SetViewerAccess(&access);
    webServer.SetTls(tls.get());
    const bool pageServed = webServer.Start(filesDir, "index.htm", g_settings.httpPort, 30000);
    if (!pageServed) {
        // The stream still goes out; only the page's address is not printed.
        std::fprintf(
            stderr, "lumasrv: %s\n%s\n",
            PortProblemText(PortRole::WebServer, g_settings.httpPort, webServer.ListenError())
                .c_str(),
            kWhereServerSetupIs);
    }

    CapLib capture;
    ChooseDevicesForThisRun(capture);
    HeadlessView view(pageServed ? webServer.Port() : 0, stdout);
    BroadcastSession session(&capture, &view);
    // A damaged relay file costs the relay, never the broadcast.
    BroadcastSettings settings = BroadcastSettingsWithRelay(g_settings);
    settings.access = &access;
    settings.tls = tls.get();
    if (!settings.relayProblem.empty()) {
        std::fprintf(stderr, "lumasrv: %s; broadcasting without the relay\n",
                     settings.relayProblem.c_str());
    }
    view.SetRelayAddress(MaskRelayUrl(settings.relay.url));
    session.ConfigureCapture(settings);
    session.StartBroadcast(settings);
    if (!session.IsRunning()) {
        // Without a window nobody would ever see why: write the trail out,
        // and end with a failure so that whoever started the program knows.
        WriteErrorDump();
        std::fprintf(stderr,
                     "lumasrv: the broadcast did not start; the failed steps are in %s\n%s\n",
                     ReplaceLastThree(UserFilesPath(), "log").c_str(), kWhereServerSetupIs);
        capture.Close();
        webServer.Shutdown();
        return 1;
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
    webServer.Shutdown();
    return 0;
}

// Whether the user chose Qt's platform, by QT_QPA_PLATFORM or -platform.
bool PlatformChosen(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM")) return true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-platform" || argument == "--platform") return true;
    }
    return false;
}

// The desktop program: message boxes as windows, the application object's
// runtime check, then the main window until it closes.
int RunDesktop(int argc, char** argv) {
    RaiseOpenFileLimit();
    // The window runs on X11 wherever there is an X server, in a Wayland
    // session too (XWayland), unless the user chose otherwise: a Wayland
    // client can neither place its windows (the saved position, the players'
    // corner) nor learn that it was minimised, which minimising to the tray
    // needs. An argument rather than the environment, so that programs
    // started from here (a browser, a mail program) choose for themselves.
    std::vector<char*> arguments(argv, argv + argc);
    char platformOption[] = "-platform";
    char x11Platform[] = "xcb";
    if (std::getenv("DISPLAY") && !PlatformChosen(argc, argv)) {
        arguments.insert(arguments.begin() + 1, {platformOption, x11Platform});
    }
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    QApplication application(count, arguments.data());
    QApplication::setWindowIcon(IconById(kProgramIconId));
    InstallQtMessageBoxes();
    CBroadcastApp theApp;
    if (theApp.ExitRequested()) return 0;
    return theApp.InitInstance();
}

bool HaveDisplay() {
    // A platform chosen by hand (offscreen, for one) needs no display either.
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") ||
           std::getenv("QT_QPA_PLATFORM");
}

}  // namespace

namespace {

// The viewer password for a broadcast without a window: its salted hash
// goes into access.cfg, whose other settings stay as they are.
int SetViewerPassword() {
    DetermineProgramDir();
    std::string problem;
    AccessSettings settings = LoadViewerAccess(&problem);
    if (!problem.empty()) {
        std::fprintf(stderr, "lumasrv: %s\n", problem.c_str());
        return 1;
    }
    termios shown{};
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &shown) == 0;
    if (terminal) {
        std::fprintf(stderr, "Viewer password: ");
        termios hidden = shown;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &hidden);
    }
    char line[1024];
    const bool read = std::fgets(line, sizeof line, stdin) != nullptr;
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &shown);
        std::fprintf(stderr, "\n");
    }
    std::string password = read ? line : "";
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        password.pop_back();
    if (password.empty()) {
        std::fprintf(stderr, "lumasrv: no password given; nothing changed\n");
        return 1;
    }
    settings.passwordHash = HashViewerPassword(password);
    if (settings.passwordHash.empty() || !SaveViewerAccess(settings, &problem)) {
        std::fprintf(stderr, "lumasrv: %s\n",
                     problem.empty() ? "cannot keep the password" : problem.c_str());
        return 1;
    }
    std::fprintf(stderr,
                 "lumasrv: the viewer password is set; viewers=password in %s asks for it\n",
                 AccessConfigPath().c_str());
    return 0;
}

}  // namespace

namespace {

constexpr char kUsage[] =
    "Usage: lumasrv [--headless | --viewer-password | --help | --version] [Qt options]\n"
    "Lumacast: a live webcam broadcast with its own web server.\n"
    "\n"
    "  (no option)        open the main window on the desktop\n"
    "  --headless         broadcast without a window, with the saved configuration,\n"
    "                     until SIGINT or SIGTERM\n"
    "  --viewer-password  set the viewer password from a line of standard input\n"
    "  -h, --help         show this and end\n"
    "  --version          show the version and end\n"
    "\n"
    "The window also takes Qt's own options, such as -platform NAME.\n"
    "See lumasrv(1).\n";

// Qt's own options that the window takes, those with a value after them
// first; each also as --NAME.
constexpr const char* kQtOptionsWithValue[] = {"platform",      "platformpluginpath",
                                               "platformtheme", "plugin",
                                               "qmljsdebugger", "qwindowgeometry",
                                               "qwindowicon",   "qwindowtitle",
                                               "session",       "style",
                                               "stylesheet",    "display",
                                               "geometry",      "name",
                                               "title",         "visual"};
constexpr const char* kQtOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

// How far an argument of Qt's reaches: 2 for one with its value, 1 for one
// alone, 0 when it is none of Qt's.
int QtOptionLength(std::string_view argument) {
    if (argument.rfind("--", 0) == 0) argument.remove_prefix(1);
    if (argument.size() < 2 || argument[0] != '-') return 0;
    argument.remove_prefix(1);
    for (const char* option : kQtOptionsWithValue) {
        if (argument == option) return 2;
        if (argument.rfind(std::string(option) + "=", 0) == 0) return 1;
    }
    for (const char* option : kQtOptions)
        if (argument == option) return 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("lumasrv (Lumacast) %s\n", LUMACAST_VERSION);
            return 0;
        }
        if (argument == "--headless" || argument == "--viewer-password") continue;
        const int reach = QtOptionLength(argument);
        if (reach == 2 && i + 1 >= argc) {
            std::fprintf(stderr, "lumasrv: %s needs a value\nTry 'lumasrv --help'.\n", argv[i]);
            return 2;
        }
        if (reach > 0) {
            i += reach - 1;
            continue;
        }
        std::fprintf(stderr, "lumasrv: unknown %s '%s'\nTry 'lumasrv --help'.\n",
                     argument.rfind('-', 0) == 0 ? "option" : "argument", argv[i]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) return RunHeadless(argc, argv);
        if (std::strcmp(argv[i], "--viewer-password") == 0) return SetViewerPassword();
    }
    if (!HaveDisplay()) {
        std::fprintf(stderr,
                     "lumasrv: no display to open the window on; start it as "
                     "'lumasrv --headless' to broadcast without a window\n");
        return 1;
    }
    return RunDesktop(argc, argv);
}
