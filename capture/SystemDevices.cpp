// The system's capture devices: the device providers' lists merged into one
// entry per device, the latest look at them, and the watch that looks again
// every second (and at once when a provider that follows its devices tells
// of a change).

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "capture/DeviceDescription.h"

namespace capture {

namespace {

constexpr auto kWatchPeriod = std::chrono::seconds(1);

// Providers that follow their devices once started (udev, the sound
// server's events); the others are asked anew at every look. PipeWire's
// follows its devices too, but on a connection of its own (see
// FollowedPipeWire).
constexpr const char* kFollowingProviders[] = {"v4l2deviceprovider", "pulsedeviceprovider"};
constexpr const char kPipeWireProvider[] = "pipewiredeviceprovider";

// A connection of its own to the PipeWire daemon, as PipeWire's clients find
// it; closed when there is none.
UniqueFd ConnectToPipeWire() {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string path = remote && *remote ? remote : "pipewire-0";
    if (path.front() != '/') {
        const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (!dir || !*dir) dir = std::getenv("XDG_RUNTIME_DIR");
        if (!dir || !*dir) return UniqueFd();
        path = std::string(dir) + "/" + path;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return UniqueFd();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return UniqueFd();
    return fd;
}

void StopProvider(GstDeviceProvider* provider) {
    GstBus* bus = gst_device_provider_get_bus(provider);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_device_provider_stop(provider);
    gst_object_unref(provider);
}
using StartedProvider = UniqueHandle<GstDeviceProvider, StopProvider>;

struct Registry {
    // One look at the providers at a time: they are shared by the process
    // and their probes are not made to run side by side.
    std::mutex probeMutex;
    std::vector<StartedProvider> started;  // under probeMutex
    // PipeWire's provider, started on the connection beside it and never
    // stopped; null until the daemon answered. Under probeMutex.
    GstDeviceProvider* pipewire = nullptr;
    UniqueFd pipewireConnection;
    bool pipewireSingletonUsed = false;

    std::mutex snapshotMutex;
    std::vector<std::shared_ptr<const DeviceDescription>> video;  // under snapshotMutex
    std::vector<std::shared_ptr<const DeviceDescription>> audio;  // under snapshotMutex
    std::atomic<std::uint64_t> generation{0};

    // Held while a watch starts or stops the thread, so that a start never
    // meets a stop half done.
    std::mutex lifeMutex;
    int holders = 0;     // under lifeMutex
    std::thread thread;  // under lifeMutex

    std::mutex watchMutex;
    std::condition_variable wake;
    bool stopping = false;   // under watchMutex
    bool lookAgain = false;  // under watchMutex
};

// Never destroyed: a watch still held when the process ends (its owner
// leaked) must not meet a registry already gone.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

enum class Provider { PipeWire, Pulse, V4l2, Alsa, Other };

Provider ProviderOf(const GstStructure* props) {
    const char* name = props ? gst_structure_get_name(props) : "";
    if (g_str_has_prefix(name, "pipewire")) return Provider::PipeWire;
    if (g_str_has_prefix(name, "pulse")) return Provider::Pulse;
    if (g_str_has_prefix(name, "v4l2")) return Provider::V4l2;
    if (g_str_has_prefix(name, "alsa")) return Provider::Alsa;
    return Provider::Other;
}

// Lower is better: the provider whose element serves the device best.
int Rank(Provider provider, DeviceCategory category) {
    if (category == DeviceCategory::VideoInput) {
        switch (provider) {
            case Provider::V4l2:
                return 0;  // its own formats and picture controls
            case Provider::PipeWire:
                return 1;
            default:
                return 2;
        }
    }
    switch (provider) {
        case Provider::Pulse:
            return 0;  // the sound server's own way in, on PulseAudio and PipeWire alike
        case Provider::PipeWire:
            return 1;
        case Provider::Other:
            return 2;
        default:
            return 3;
    }
}

std::string Field(const GstStructure* props, const char* name) {
    const char* value = props ? gst_structure_get_string(props, name) : nullptr;
    return value ? value : "";
}

// The device's identity (key) and this appearance of it (instance).
std::pair<std::string, std::string> Identity(GstDevice* device, const GstStructure* props,
                                             Provider provider, const std::string& name) {
    switch (provider) {
        case Provider::PipeWire: {
            const std::string path = Field(props, "api.v4l2.path");
            const std::string node = Field(props, "node.name");
            const std::string key = !path.empty()   ? "v4l2:" + path
                                    : !node.empty() ? "node:" + node
                                                    : "pipewire:" + name;
            return {key, Field(props, "object.serial")};
        }
        case Provider::Pulse: {
            std::string node = Field(props, "node.name");
            if (node.empty() &&
                g_object_class_find_property(G_OBJECT_GET_CLASS(device), "internal-name")) {
                gchar* internal = nullptr;
                g_object_get(device, "internal-name", &internal, nullptr);
                node = internal ? internal : "";
                g_free(internal);
            }
            // PipeWire's PulseAudio server gives the node's serial too, so
            // the two entries of a node name the same appearance.
            return {"node:" + (node.empty() ? name : node), Field(props, "object.serial")};
        }
        case Provider::V4l2:
            return {"v4l2:" + Field(props, "device.path"), ""};
        case Provider::Alsa:
            return {"alsa:" + Field(props, "alsa.card") + ":" + name, ""};
        default:
            return {std::string(G_OBJECT_TYPE_NAME(device)) + ":" + name +
                        Field(props, "device.path") + Field(props, "object.path"),
                    ""};
    }
}

// The caps of every offered audio format: what such a device can be set to,
// the conversions behind it making any of them from what it captures.
GstCaps* OfferedAudioCaps(const GstCaps* listed) {
    GstCaps* caps = gst_caps_new_empty();
    for (const MediaType& type : AudioCapabilities(listed))
        if (GstCaps* one = CapsFromMediaType(type)) gst_caps_append(caps, one);
    return caps;
}

std::shared_ptr<DeviceDescription> Describe(GstDevice* device, DeviceCategory category,
                                            const std::string& name, std::string key,
                                            std::string instance) {
    auto d = std::make_shared<DeviceDescription>();
    d->category = category;
    d->hasName = !name.empty();
    d->name = name;
    d->key = std::move(key);
    d->instance = std::move(instance);
    d->device.reset(GST_DEVICE(gst_object_ref(device)));
    GstCaps* caps = gst_device_get_caps(device);
    d->listCaps.reset(caps ? caps : gst_caps_new_any());
    d->acceptCaps.reset(category == DeviceCategory::AudioInput ? OfferedAudioCaps(d->listCaps.get())
                                                               : gst_caps_copy(d->listCaps.get()));
    return d;
}

GstDeviceProvider* FollowedPipeWire(Registry& registry, GstDeviceProvider* singleton);

// Every device the providers list now. Under the probe lock.
std::vector<GstDevice*> ProvidedDevices(Registry& registry) {
    std::vector<GstDevice*> devices;
    auto take = [&](GstDeviceProvider* provider) {
        GList* list = gst_device_provider_get_devices(provider);
        for (GList* l = list; l; l = l->next) devices.push_back(GST_DEVICE(l->data));
        g_list_free(list);  // the references move into devices
    };
    GList* factories = gst_device_provider_factory_list_get_device_providers(GST_RANK_NONE);
    for (GList* l = factories; l; l = l->next) {
        auto* factory = GST_DEVICE_PROVIDER_FACTORY(l->data);
        if (!gst_device_provider_factory_has_classes(factory, "Source")) continue;
        const char* name = GST_OBJECT_NAME(factory);
        const auto started =
            std::find_if(registry.started.begin(), registry.started.end(), [&](const auto& p) {
                GstDeviceProviderFactory* own = gst_device_provider_get_factory(p.get());
                return own && std::strcmp(GST_OBJECT_NAME(own), name) == 0;
            });
        if (started != registry.started.end()) {
            take(started->get());
        } else if (GstDeviceProvider* provider = gst_device_provider_factory_get(factory)) {
            if (std::strcmp(name, kPipeWireProvider) != 0 ||
                !g_object_class_find_property(G_OBJECT_GET_CLASS(provider), "fd"))
                take(provider);
            else if (GstDeviceProvider* followed = FollowedPipeWire(registry, provider))
                take(followed);
            gst_object_unref(provider);
        }
    }
    gst_plugin_feature_list_free(factories);
    return devices;
}

bool SameDevices(const std::vector<std::shared_ptr<const DeviceDescription>>& a,
                 const std::vector<std::shared_ptr<DeviceDescription>>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x->key == y->key && x->instance == y->instance && x->name == y->name;
    });
}

// The new look replaces the last one where it differs; descriptions of
// devices still there stay, and a device plugged in again keeps what the
// settings pages set for it.
void Publish(Registry& registry, DeviceCategory category,
             std::vector<std::shared_ptr<DeviceDescription>> seen) {
    std::lock_guard lock(registry.snapshotMutex);
    auto& latest = category == DeviceCategory::VideoInput ? registry.video : registry.audio;
    if (SameDevices(latest, seen)) return;
    std::vector<std::shared_ptr<const DeviceDescription>> next;
    for (auto& d : seen) {
        const auto old = std::find_if(latest.begin(), latest.end(),
                                      [&](const auto& o) { return o->key == d->key; });
        if (old != latest.end() && (*old)->instance == d->instance && (*old)->name == d->name) {
            next.push_back(*old);
            continue;
        }
        if (old != latest.end()) {
            std::lock_guard settings((*old)->settingsMutex);
            d->chosenFormat = (*old)->chosenFormat;
            d->chosenControls = (*old)->chosenControls;
        }
        next.push_back(std::move(d));
    }
    latest = std::move(next);
    registry.generation.fetch_add(1);
}

GstBusSyncReply OnProviderMessage(GstBus*, GstMessage*, gpointer data);

bool HungUp(const UniqueFd& connection) {
    pollfd event{connection.Get(), POLLRDHUP, 0};
    return poll(&event, 1, 0) > 0 && (event.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL));
}

// PipeWire's provider, started once on a connection of its own, which it
// keeps, telling of devices that come and go like the providers above. On
// the connection that its capture elements share, a look while one of them
// streams never returns in the PipeWire release we run on, so the elements
// it makes are told to leave this one alone (the capture graph takes them
// back to the shared one). It is never stopped, since stopping a started
// one corrupts the heap in that release; when the daemon goes away, the
// next look after it answers again starts a new one on a new connection,
// and the old one keeps its dead connection (closing it under the provider
// could hand its number to another file). Under the probe lock; null
// without a daemon.
GstDeviceProvider* FollowedPipeWire(Registry& registry, GstDeviceProvider* singleton) {
    if (registry.pipewire && HungUp(registry.pipewireConnection)) {
        registry.pipewire = nullptr;
        registry.pipewireConnection.Release();
    }
    if (registry.pipewire) return registry.pipewire;
    UniqueFd connection = ConnectToPipeWire();
    if (!connection) return nullptr;
    auto* provider = registry.pipewireSingletonUsed
                         ? GST_DEVICE_PROVIDER(g_object_new(G_OBJECT_TYPE(singleton), nullptr))
                         : GST_DEVICE_PROVIDER(gst_object_ref(singleton));
    g_object_set(provider, "fd", connection.Get(), nullptr);
    GstBus* bus = gst_device_provider_get_bus(provider);
    gst_bus_set_sync_handler(bus, &OnProviderMessage, &registry, nullptr);
    gst_object_unref(bus);
    if (!gst_device_provider_start(provider)) {
        bus = gst_device_provider_get_bus(provider);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        gst_object_unref(provider);
        return nullptr;
    }
    registry.pipewireSingletonUsed = true;
    registry.pipewire = provider;
    registry.pipewireConnection = std::move(connection);
    return provider;
}

GstBusSyncReply OnProviderMessage(GstBus*, GstMessage*, gpointer data) {
    auto* registry = static_cast<Registry*>(data);
    {
        std::lock_guard lock(registry->watchMutex);
        registry->lookAgain = true;
    }
    registry->wake.notify_one();
    return GST_BUS_DROP;
}

void StartFollowingProviders(Registry& registry) {
    std::lock_guard probe(registry.probeMutex);
    for (const char* name : kFollowingProviders) {
        GstDeviceProvider* provider = gst_device_provider_factory_get_by_name(name);
        if (!provider) continue;
        GstBus* bus = gst_device_provider_get_bus(provider);
        gst_bus_set_sync_handler(bus, &OnProviderMessage, &registry, nullptr);
        gst_object_unref(bus);
        if (gst_device_provider_start(provider)) {
            registry.started.emplace_back(provider);
        } else {
            bus = gst_device_provider_get_bus(provider);
            gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
            gst_object_unref(bus);
            gst_object_unref(provider);
        }
    }
}

void WatchLoop(Registry& registry) {
    StartFollowingProviders(registry);
    std::unique_lock lock(registry.watchMutex);
    while (!registry.stopping) {
        registry.lookAgain = false;
        lock.unlock();
        RefreshSystemDevices();
        lock.lock();
        registry.wake.wait_for(lock, kWatchPeriod,
                               [&] { return registry.stopping || registry.lookAgain; });
    }
    lock.unlock();
    std::lock_guard probe(registry.probeMutex);
    registry.started.clear();
}

}  // namespace

std::vector<std::shared_ptr<DeviceDescription>> MergeProvidedDevices(
    const std::vector<GstDevice*>& devices, DeviceCategory category) {
    struct Candidate {
        std::shared_ptr<DeviceDescription> description;
        Provider provider;
        int rank;
    };
    std::vector<Candidate> candidates;
    const char* wanted = category == DeviceCategory::VideoInput ? "Video/Source" : "Audio/Source";
    for (GstDevice* device : devices) {
        if (!gst_device_has_classes(device, wanted)) continue;
        GstStructure* props = gst_device_get_properties(device);
        const Provider provider = ProviderOf(props);
        // A sound server's monitor of an output plays back, it captures nothing.
        if (Field(props, "device.class") == "monitor") {
            if (props) gst_structure_free(props);
            continue;
        }
        gchar* displayName = gst_device_get_display_name(device);
        const std::string name = displayName ? displayName : "";
        g_free(displayName);
        auto [key, instance] = Identity(device, props, provider, name);
        if (props) gst_structure_free(props);
        candidates.push_back({Describe(device, category, name, std::move(key), std::move(instance)),
                              provider, Rank(provider, category)});
    }
    const bool soundServer = std::any_of(candidates.begin(), candidates.end(), [](const auto& c) {
        return c.provider == Provider::Pulse || c.provider == Provider::PipeWire;
    });
    std::map<std::string, Candidate> best;
    for (auto& c : candidates) {
        if (soundServer && c.provider == Provider::Alsa) continue;
        auto [at, inserted] = best.try_emplace(c.description->key, c);
        if (!inserted && c.rank < at->second.rank) at->second = c;
    }
    std::vector<std::shared_ptr<DeviceDescription>> result;
    for (auto& [key, c] : best) result.push_back(std::move(c.description));
    std::stable_sort(result.begin(), result.end(), [](const auto& a, const auto& b) {
        return a->name != b->name ? a->name < b->name : a->key < b->key;
    });
    return result;
}

std::vector<std::shared_ptr<const DeviceDescription>> LatestSystemDevices(DeviceCategory category) {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.snapshotMutex);
    return category == DeviceCategory::VideoInput ? registry.video : registry.audio;
}

void RefreshSystemDevices() {
    if (!EnsureGstreamer()) return;
    Registry& registry = TheRegistry();
    std::vector<std::shared_ptr<DeviceDescription>> video, audio;
    {
        std::lock_guard probe(registry.probeMutex);
        const std::vector<GstDevice*> devices = ProvidedDevices(registry);
        video = MergeProvidedDevices(devices, DeviceCategory::VideoInput);
        audio = MergeProvidedDevices(devices, DeviceCategory::AudioInput);
        for (GstDevice* device : devices) gst_object_unref(device);
    }
    Publish(registry, DeviceCategory::VideoInput, std::move(video));
    Publish(registry, DeviceCategory::AudioInput, std::move(audio));
}

void NoteTestDevicesChanged() {
    TheRegistry().generation.fetch_add(1);
}

std::uint64_t DeviceListGeneration() {
    return TheRegistry().generation.load();
}

DeviceWatch::DeviceWatch() {
    if (!SystemDevicesListed() || !EnsureGstreamer()) return;
    holding_ = true;
    Registry& registry = TheRegistry();
    std::lock_guard life(registry.lifeMutex);
    if (registry.holders++ > 0) return;
    {
        std::lock_guard lock(registry.watchMutex);
        registry.stopping = false;
    }
    registry.thread = std::thread([&registry] { WatchLoop(registry); });
}

DeviceWatch::~DeviceWatch() {
    if (!holding_) return;
    Registry& registry = TheRegistry();
    std::lock_guard life(registry.lifeMutex);
    if (--registry.holders > 0) return;
    {
        std::lock_guard lock(registry.watchMutex);
        registry.stopping = true;
    }
    registry.wake.notify_one();
    registry.thread.join();
}

}  // namespace capture
