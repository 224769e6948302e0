#pragma once
// A PipeWire desktop of the test's own: a session bus, the PipeWire daemon,
// WirePlumber and, when asked, PipeWire's PulseAudio server, all in a folder
// of the test's own (runtime folder, home, state), so that nothing of the
// machine's or of other tests' is seen or touched. On it, virtual devices
// that the system lists as it lists real ones: cameras (a GStreamer pipeline
// that provides a Video/Source node with a moving picture, raw or MJPEG) and
// microphones (a virtual source with a 440 Hz tone played into it). A raw
// camera node stops feeding new consumers once its only one has left, so it
// keeps a consumer of its own attached (as a second program would).
// Everything it starts ends with it.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/TempFolder.h"

namespace testsupport {

class PipeWireStack {
  public:
    struct Options {
        bool pulse = true;  // PipeWire's PulseAudio server too
    };
    enum class CameraKind { Raw, Mjpeg };

    explicit PipeWireStack(const Options& options);
    PipeWireStack() : PipeWireStack(Options{}) {}
    ~PipeWireStack();
    PipeWireStack(const PipeWireStack&) = delete;
    PipeWireStack& operator=(const PipeWireStack&) = delete;

    // Whether everything runs; Error says why not.
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    // The variables a client of this desktop needs (runtime folder, session
    // bus, home and state folders), and the environment of this process with
    // them put in (for a program the test starts).
    const std::map<std::string, std::string>& Variables() const { return variables_; }
    std::vector<std::string> Environment() const;
    // Puts the variables into this process's own environment.
    void Enter() const;

    // A camera: raw YUY2 at 640x480 or MJPEG at 1280x720, 30 frames a
    // second, its picture moving. Removing it is unplugging it.
    bool AddCamera(const std::string& node, const std::string& description, CameraKind kind);
    void RemoveCamera(const std::string& node);
    // A microphone that hears a 440 Hz tone; it lives in the daemon until
    // removed.
    bool AddMicrophone(const std::string& node, const std::string& description);
    void RemoveMicrophone(const std::string& node);
    // Whether the daemon has a node of that name.
    bool HasNode(const std::string& node) const;

    // Runs a shell command line on this desktop; its exit status, and its
    // standard output when output is given.
    int Run(const std::string& command, std::string* output = nullptr) const;

    const std::filesystem::path& Folder() const { return folder_.Path(); }

  private:
    pid_t Spawn(const std::vector<std::string>& argv, const std::string& log);
    // The end of a daemon's log, for the error that says it did not start.
    std::string LogTail(const std::string& log) const;
    std::string NodeId(const std::string& node) const;  // "" when there is none
    bool WaitFor(const std::string& command, int timeoutMs) const;

    TempFolder folder_{"lumapipewire"};
    std::map<std::string, std::string> variables_;
    std::string error_;
    std::vector<pid_t> daemons_;            // started in order, stopped the other way
    std::map<std::string, pid_t> cameras_;  // node name: its pipeline
    std::map<std::string, pid_t> keepers_;  // node name: the consumer kept on it
    std::map<std::string, pid_t> players_;  // node name: what plays the tone into it
};

}  // namespace testsupport
