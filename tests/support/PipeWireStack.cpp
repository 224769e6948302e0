#include "tests/support/PipeWireStack.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/Commands.h"
#include "tests/support/Processes.h"
#include "tests/support/VirtualDisplay.h"

extern char** environ;

namespace testsupport {

namespace {

// Variables of the machine's own desktop that would lead a client there.
constexpr const char* kForeign[] = {"PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PULSE_SERVER",
                                    "PULSE_RUNTIME_PATH", "DBUS_SESSION_BUS_ADDRESS"};

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

PipeWireStack::PipeWireStack(const Options& options) {
    for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pw-cli", "pw-link",
                                "pw-cat", "gst-launch-1.0"}) {
        if (!HaveProgram(program)) {
            error_ = std::string(program) + " is not installed";
            return;
        }
    }
    if (options.pulse && (!HaveProgram("pipewire-pulse") || !HaveProgram("pactl"))) {
        error_ = "pipewire-pulse or pactl is not installed";
        return;
    }
    const std::filesystem::path root = folder_.Path();
    for (const char* sub : {"run", "home", "state", "config", "data"})
        std::filesystem::create_directories(root / sub);
    std::filesystem::permissions(root / "run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    variables_ = {{"XDG_RUNTIME_DIR", (root / "run").string()},
                  {"HOME", (root / "home").string()},
                  {"XDG_STATE_HOME", (root / "state").string()},
                  {"XDG_CONFIG_HOME", (root / "config").string()},
                  {"XDG_DATA_HOME", (root / "data").string()},
                  {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (root / "run" / "bus").string()}};

    // WirePlumber needs a session bus; a bus of its own keeps it off the
    // machine's.
    daemons_.push_back(Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                              "--address=" + variables_["DBUS_SESSION_BUS_ADDRESS"]},
                             "dbus.log"));
    if (!WaitFor("test -S \"$XDG_RUNTIME_DIR/bus\"", 30000)) {
        error_ = "the session bus did not start" + LogTail("dbus.log");
        return;
    }
    daemons_.push_back(Spawn({"pipewire"}, "pipewire.log"));
    if (!WaitFor("test -S \"$XDG_RUNTIME_DIR/pipewire-0\"", 30000)) {
        error_ = "pipewire did not start" + LogTail("pipewire.log");
        return;
    }
    daemons_.push_back(Spawn({"wireplumber"}, "wireplumber.log"));
    // WirePlumber's policy runs once it has exported its own objects.
    if (!WaitFor("pw-cli ls Client | grep -q 'WirePlumber \\[export\\]'", 30000)) {
        error_ = "wireplumber did not start" + LogTail("wireplumber.log");
        return;
    }
    if (options.pulse) {
        daemons_.push_back(Spawn({"pipewire-pulse"}, "pipewire-pulse.log"));
        if (!WaitFor("pactl info", 30000)) {
            error_ = "pipewire-pulse did not start" + LogTail("pipewire-pulse.log");
            return;
        }
    }
}

std::string PipeWireStack::LogTail(const std::string& log) const {
    std::ifstream in(folder_.Path() / log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.empty()) return " (" + log + " is empty)";
    return " (the end of " + log + ": " + text.substr(text.size() > 800 ? text.size() - 800 : 0) +
           ")";
}

PipeWireStack::~PipeWireStack() {
    for (auto& [node, pid] : players_) StopProcess(pid);
    for (auto& [node, pid] : keepers_) StopProcess(pid);
    for (auto& [node, pid] : cameras_) StopProcess(pid);
    for (auto it = daemons_.rbegin(); it != daemons_.rend(); ++it) StopProcess(*it);
}

std::vector<std::string> PipeWireStack::Environment() const {
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable) {
        const std::string entry = *variable;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = variables_.count(name) != 0;
        for (const char* foreign : kForeign) replaced = replaced || name == foreign;
        if (!replaced) environment.push_back(entry);
    }
    for (const auto& [name, value] : variables_) environment.push_back(name + "=" + value);
    return environment;
}

void PipeWireStack::Enter() const {
    for (const char* foreign : kForeign) unsetenv(foreign);
    for (const auto& [name, value] : variables_) setenv(name.c_str(), value.c_str(), 1);
}

pid_t PipeWireStack::Spawn(const std::vector<std::string>& argv, const std::string& log) {
    std::vector<std::string> environment = Environment();
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> arguments;
    for (std::string& arg : args) arguments.push_back(arg.data());
    arguments.push_back(nullptr);
    const std::string logPath = (folder_.Path() / log).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawnp(&pid, arguments[0], &actions, nullptr, arguments.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int PipeWireStack::Run(const std::string& command, std::string* output) const {
    std::string prefix = "env";
    for (const char* foreign : kForeign) prefix += std::string(" -u ") + foreign;
    for (const auto& [name, value] : variables_) prefix += " " + name + "=" + Quoted(value);
    int status = -1;
    const std::string text =
        RunCommand(prefix + " sh -c " + Quoted(command) + " 2>/dev/null", &status);
    if (output) *output = text;
    return status;
}

bool PipeWireStack::WaitFor(const std::string& command, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Run(command + " > /dev/null") == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool PipeWireStack::HasNode(const std::string& node) const {
    std::string nodes;
    Run("pw-cli ls Node", &nodes);
    return nodes.find("node.name = \"" + node + "\"") != std::string::npos;
}

bool PipeWireStack::AddCamera(const std::string& node, const std::string& description,
                              CameraKind kind) {
    if (!Ok() || cameras_.count(node)) return false;
    // The node is the pipeline's sink, offered as a source: what a camera
    // driver's node is to a client.
    // Colour bars at 75%: nothing in the picture is as white as the caption.
    std::vector<std::string> argv = {
        "gst-launch-1.0",     "-q", "videotestsrc", "is-live=true", "pattern=smpte75",
        "horizontal-speed=4", "!"};
    if (kind == CameraKind::Raw) {
        argv.push_back("video/x-raw,format=YUY2,width=640,height=480,framerate=30/1");
    } else {
        for (const char* token :
             {"video/x-raw,width=1280,height=720,framerate=30/1", "!", "jpegenc", "!",
              "image/jpeg,width=1280,height=720,framerate=30/1"})
            argv.push_back(token);
    }
    argv.push_back("!");
    argv.push_back("pipewiresink");
    argv.push_back("mode=provide");
    argv.push_back("stream-properties=\"props,media.class=Video/Source,node.name=" + node +
                   ",node.description=\\\"" + description + "\\\"\"");
    cameras_[node] = Spawn(argv, "camera-" + node + ".log");
    if (!WaitFor("pw-cli ls Node | grep -q 'node.name = \"" + node + "\"'", 30000)) return false;
    if (kind == CameraKind::Raw) {
        // A raw picture provider stops feeding consumers that come after one
        // left it idle for a moment; one consumer kept on it avoids that.
        keepers_[node] = Spawn({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=" + node, "!",
                                "video/x-raw", "!", "fakesink", "sync=false"},
                               "keeper-" + node + ".log");
    }
    return true;
}

void PipeWireStack::RemoveCamera(const std::string& node) {
    if (auto keeper = keepers_.find(node); keeper != keepers_.end()) {
        StopProcess(keeper->second);
        keepers_.erase(keeper);
    }
    if (auto camera = cameras_.find(node); camera != cameras_.end()) {
        StopProcess(camera->second);
        cameras_.erase(camera);
    }
    WaitFor("! pw-cli ls Node | grep -q 'node.name = \"" + node + "\"'", 30000);
}

std::string PipeWireStack::NodeId(const std::string& node) const {
    std::string info;
    Run("pw-cli info " + Quoted(node), &info);
    const std::size_t at = info.find("id: ");
    return at == std::string::npos ? "" : info.substr(at + 4, info.find('\n', at) - at - 4);
}

bool PipeWireStack::AddMicrophone(const std::string& node, const std::string& description) {
    if (!Ok() || players_.count(node)) return false;
    // A virtual microphone as sound servers make them: a virtual source that
    // keeps its own time (else the graph of a camera's node, at 30 frames a
    // second, would pace its sound), with a tone played into it. (PipeWire's
    // own tone node runs out of buffers for good once a consumer has left
    // it, and GStreamer playing into PipeWire paces its sound wrong, in this
    // release.) One command per pw-cli run: reading commands from a pipe, it
    // never ends.
    const std::string properties = "{ factory.name=support.null-audio-sink node.name=" + node +
                                   " node.description=\"" + description +
                                   "\" media.class=Audio/Source/Virtual audio.position=[FL FR] "
                                   "node.driver=true priority.driver=25000 object.linger=true }";
    if (Run("pw-cli create-node adapter " + Quoted(properties) + " > /dev/null") != 0 ||
        !WaitFor("pw-cli ls Node | grep -q 'node.name = \"" + node + "\"'", 30000))
        return false;
    const std::string player = node + "_tone";
    players_[node] = Spawn({"sh", "-c",
                            "gst-launch-1.0 -q audiotestsrc freq=440 volume=0.4 ! "
                            "audio/x-raw,format=S16LE,rate=48000,channels=2 ! wavenc ! fdsink | "
                            "exec pw-cat --playback --target 0 --properties '{ node.name=" +
                                player + " }' -"},
                           "tone-" + node + ".log");
    if (!WaitFor("pw-link -o | grep -q '" + player + ":output_FR'", 30000)) return false;
    return Run("pw-link " + player + ":output_FL " + node + ":input_FL") == 0 &&
           Run("pw-link " + player + ":output_FR " + node + ":input_FR") == 0;
}

void PipeWireStack::RemoveMicrophone(const std::string& node) {
    if (auto player = players_.find(node); player != players_.end()) {
        StopProcess(player->second);
        players_.erase(player);
    }
    const std::string id = NodeId(node);
    if (id.empty()) return;
    Run("pw-cli destroy " + id + " > /dev/null");
    WaitFor("! pw-cli ls Node | grep -q 'node.name = \"" + node + "\"'", 30000);
}

}  // namespace testsupport
