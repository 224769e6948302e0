#include "capture/Filter.h"

#include <gst/video/video.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "capture/Devices.h"
#include "capture/PreviewSurface.h"
#include "platform/UniqueHandle.h"

namespace capture {

namespace {

using CapsPtr = UniqueHandle<GstCaps, gst_caps_unref>;

GQuark FilterQuark() {
    static const GQuark quark = g_quark_from_static_string("lumacast-filter");
    return quark;
}

}  // namespace

// ---- Pin ------------------------------------------------------------------

Pin::Pin(GstPad* pad) : pad_(GST_PAD(gst_object_ref(pad))) {}
Pin::~Pin() {
    gst_object_unref(pad_);
}

PinDirection Pin::Direction() const {
    return GST_PAD_DIRECTION(pad_) == GST_PAD_SRC ? PinDirection::Output : PinDirection::Input;
}

HRESULT Pin::ConnectedTo(RefPtr<Pin>* other) const {
    if (!other) return E_POINTER;
    *other = nullptr;
    GstPad* peer = gst_pad_get_peer(pad_);
    if (!peer) return VFW_E_NOT_CONNECTED;
    *other = RefPtr<Pin>::Adopt(new Pin(peer));
    gst_object_unref(peer);
    return S_OK;
}

HRESULT Pin::QueryPinInfo(Info* info) const {
    if (!info) return E_POINTER;
    GstObject* parent = gst_pad_get_parent(pad_);
    info->filter = parent ? BaseFilter::FromElement(parent) : nullptr;
    if (parent) gst_object_unref(parent);
    info->dir = Direction();
    gchar* name = gst_pad_get_name(pad_);
    info->name = name ? name : "";
    g_free(name);
    return S_OK;
}

// ---- BaseFilter -----------------------------------------------------------

BaseFilter::BaseFilter(const char* kind) {
    EnsureGstreamer();
    bin_ = gst_bin_new(nullptr);
    gst_object_ref_sink(bin_);
    g_object_set_qdata(G_OBJECT(bin_), FilterQuark(), this);
    (void)kind;
}

BaseFilter::~BaseFilter() {
    g_object_set_qdata(G_OBJECT(bin_), FilterQuark(), nullptr);
    gst_element_set_state(bin_, GST_STATE_NULL);
    gst_object_unref(bin_);
}

std::string BaseFilter::Name() const {
    gchar* name = gst_element_get_name(bin_);
    std::string result = name ? name : "";
    g_free(name);
    return result;
}

BaseFilter* BaseFilter::FromElement(GstObject* element) {
    if (!element || !GST_IS_ELEMENT(element)) return nullptr;
    return static_cast<BaseFilter*>(g_object_get_qdata(G_OBJECT(element), FilterQuark()));
}

void BaseFilter::AddPin(GstElement* element, const char* padName, const char* pinName) {
    GstPad* target = gst_element_get_static_pad(element, padName);
    GstPad* ghost = gst_ghost_pad_new(pinName, target);
    gst_object_unref(target);
    gst_pad_set_active(ghost, TRUE);
    gst_element_add_pad(bin_, ghost);
}

std::vector<RefPtr<Pin>> BaseFilter::EnumPins() const {
    std::vector<RefPtr<Pin>> pins;
    GST_OBJECT_LOCK(bin_);
    for (GList* l = GST_ELEMENT(bin_)->pads; l; l = l->next)
        pins.push_back(RefPtr<Pin>::Adopt(new Pin(GST_PAD(l->data))));
    GST_OBJECT_UNLOCK(bin_);
    return pins;
}

RefPtr<Pin> BaseFilter::FindPin(PinDirection dir) const {
    for (auto& pin : EnumPins())
        if (pin->Direction() == dir) return pin;
    return nullptr;
}

// ---- renderers ------------------------------------------------------------

NullRenderer::NullRenderer() : BaseFilter("null renderer") {
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(bin_), sink);
    AddPin(sink, "sink", "In");
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(
        pad,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        &NullRenderer::OnBuffer, this, nullptr);
    gst_object_unref(pad);
}

GstPadProbeReturn NullRenderer::OnBuffer(GstPad*, GstPadProbeInfo*, gpointer self) {
    static_cast<NullRenderer*>(self)->buffers_.fetch_add(1, std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

VideoRenderer::VideoRenderer() : BaseFilter("video renderer") {
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, "signal-handoffs", TRUE, nullptr);
    g_signal_connect(sink, "handoff", G_CALLBACK(&VideoRenderer::OnHandoff), this);
    gst_bin_add(GST_BIN(bin_), sink);
    AddPin(sink, "sink", "In");
}

VideoRenderer::~VideoRenderer() {
    // The bin may outlive this object for a moment; stop the signal first.
    GstIterator* it = gst_bin_iterate_elements(GST_BIN(bin_));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        g_signal_handlers_disconnect_by_data(g_value_get_object(&item), this);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

void VideoRenderer::OnHandoff(GstElement*, GstBuffer* buffer, GstPad* pad, gpointer data) {
    auto* self = static_cast<VideoRenderer*>(data);
    int width = 0, height = 0;
    if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
        const GstStructure* s = gst_caps_get_structure(caps, 0);
        gst_structure_get_int(s, "width", &width);
        gst_structure_get_int(s, "height", &height);
        gst_caps_unref(caps);
    }
    // Held across ShowFrame, so that once put_Owner has returned the surface
    // it replaced gets no more frames and may go. A surface only copies or
    // scales the frame and schedules a repaint; it never waits for the thread
    // that attaches surfaces, so this cannot stall either side.
    std::lock_guard lock(self->mutex_);
    self->width_ = width;
    self->height_ = height;
    ++self->frames_;
    if (!self->surface_ || !self->visible_ || width <= 0 || height <= 0) return;
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
    if (map.size >= static_cast<gsize>(DibStride(width)) * static_cast<gsize>(height))
        self->surface_->ShowFrame(map.data, width, height);
    gst_buffer_unmap(buffer, &map);
}

HRESULT VideoRenderer::put_Owner(PreviewSurface* surface) {
    std::lock_guard lock(mutex_);
    surface_ = surface;
    return S_OK;
}

HRESULT VideoRenderer::put_Visible(bool visible) {
    std::lock_guard lock(mutex_);
    visible_ = visible;
    return S_OK;
}

HRESULT VideoRenderer::get_VideoWidth(long* width) const {
    if (!width) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (width_ <= 0) return E_FAIL;
    *width = width_;
    return S_OK;
}

HRESULT VideoRenderer::get_VideoHeight(long* height) const {
    if (!height) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (height_ <= 0) return E_FAIL;
    *height = height_;
    return S_OK;
}

std::uint64_t VideoRenderer::FramesRendered() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

// ---- FilterGraph ----------------------------------------------------------

FilterGraph::FilterGraph() {
    EnsureGstreamer();
    pipeline_ = gst_pipeline_new(nullptr);
    gst_object_ref_sink(pipeline_);
    // A sound device offers its own clock; one that is unplugged and leaves
    // the graph would leave it on a clock that stands still, and the live
    // sources that take its place would wait on it for ever.
    GstClock* clock = gst_system_clock_obtain();
    gst_pipeline_use_clock(GST_PIPELINE(pipeline_), clock);
    gst_object_unref(clock);
    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, &FilterGraph::OnBusMessage, this, nullptr);
    gst_object_unref(bus);
}

FilterGraph::~FilterGraph() {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    while (!filters_.empty()) RemoveFilter(filters_.back().Get());
    GstBus* bus = gst_element_get_bus(pipeline_);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(pipeline_);
}

namespace {

FilterError::Kind KindOf(const GError* error, const char* debug) {
    const std::string details = debug ? debug : "";
    if (error && error->domain == GST_RESOURCE_ERROR) {
        if (error->code == GST_RESOURCE_ERROR_BUSY) return FilterError::Kind::Busy;
        if (error->code == GST_RESOURCE_ERROR_NOT_FOUND ||
            details.find("No such device") != std::string::npos)
            return FilterError::Kind::Gone;
    }
    if ((error && error->domain == GST_STREAM_ERROR &&
         (error->code == GST_STREAM_ERROR_FORMAT || error->code == GST_STREAM_ERROR_WRONG_TYPE)) ||
        (error && error->domain == GST_CORE_ERROR && error->code == GST_CORE_ERROR_NEGOTIATION) ||
        details.find("not-negotiated") != std::string::npos)
        return FilterError::Kind::Format;
    return FilterError::Kind::Other;
}

// The filter of the graph that an element belongs to, or null.
const BaseFilter* OwningFilter(GstObject* source) {
    GstObject* object = source ? GST_OBJECT(gst_object_ref(source)) : nullptr;
    while (object) {
        if (const BaseFilter* filter = BaseFilter::FromElement(object)) {
            gst_object_unref(object);
            return filter;
        }
        GstObject* parent = gst_object_get_parent(object);
        gst_object_unref(object);
        object = parent;
    }
    return nullptr;
}

}  // namespace

GstBusSyncReply FilterGraph::OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* self = static_cast<FilterGraph*>(data);
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        const std::string text = error ? error->message : "error";
        const FilterError::Kind kind = KindOf(error, debug);
        const BaseFilter* filter = OwningFilter(GST_MESSAGE_SRC(message));
        {
            std::lock_guard lock(self->errorMutex_);
            if (self->lastError_.empty()) self->lastError_ = text;
            const bool told =
                std::any_of(self->filterErrors_.begin(), self->filterErrors_.end(),
                            [&](const PendingError& e) { return e.filter == filter; });
            if (filter && !told) self->filterErrors_.push_back({filter, kind, text});
        }
        if (error) g_error_free(error);
        g_free(debug);
    }
    return GST_BUS_DROP;  // nobody polls this bus; nothing may pile up
}

std::vector<FilterError> FilterGraph::TakeFilterErrors() {
    std::vector<PendingError> pending;
    {
        std::lock_guard lock(errorMutex_);
        pending.swap(filterErrors_);
    }
    std::vector<FilterError> errors;
    for (const PendingError& e : pending) {
        for (auto& filter : filters_) {
            if (filter.Get() == e.filter) errors.push_back({filter, e.kind, e.message});
        }
    }
    return errors;
}

std::string FilterGraph::LastError() const {
    std::lock_guard lock(errorMutex_);
    return lastError_;
}

HRESULT FilterGraph::AddFilter(BaseFilter* filter, const char* name) {
    if (!filter) return E_POINTER;
    if (filter->graph_ || GST_OBJECT_PARENT(filter->bin_)) return E_INVALIDARG;
    // Names are unique within a graph; a taken one gets a number.
    std::string base = name && *name ? name : "Filter";
    std::string unique = base;
    for (int n = 1; FindFilterByName(unique); ++n) unique = base + " " + std::to_string(n);
    gst_object_set_name(GST_OBJECT(filter->bin_), unique.c_str());
    if (!gst_bin_add(GST_BIN(pipeline_), filter->bin_)) return E_FAIL;
    filter->graph_ = this;
    filters_.push_back(RefPtr<BaseFilter>(filter));
    return S_OK;
}

HRESULT FilterGraph::RemoveFilter(BaseFilter* filter) {
    if (!filter) return E_POINTER;
    if (filter->graph_ != this) return E_INVALIDARG;
    for (auto& pin : filter->EnumPins()) Disconnect(pin.Get());
    gst_element_set_locked_state(filter->bin_, FALSE);
    gst_element_set_state(filter->bin_, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(pipeline_), filter->bin_);
    filter->graph_ = nullptr;
    {
        // Stopped, it reports nothing more.
        std::lock_guard lock(errorMutex_);
        std::erase_if(filterErrors_,
                      [filter](const PendingError& e) { return e.filter == filter; });
    }
    for (auto it = filters_.begin(); it != filters_.end(); ++it) {
        if (it->Get() == filter) {
            filters_.erase(it);  // may delete the filter
            break;
        }
    }
    return S_OK;
}

HRESULT FilterGraph::Disconnect(Pin* pin) {
    if (!pin) return E_POINTER;
    GstPad* pad = pin->Pad();
    GstPad* peer = gst_pad_get_peer(pad);
    if (!peer) return S_FALSE;
    const bool ok = GST_PAD_DIRECTION(pad) == GST_PAD_SRC ? gst_pad_unlink(pad, peer)
                                                          : gst_pad_unlink(peer, pad);
    gst_object_unref(peer);
    return ok ? S_OK : E_FAIL;
}

HRESULT FilterGraph::ConnectDirect(Pin* out, Pin* in) {
    if (!out || !in) return E_POINTER;
    if (out->Direction() != PinDirection::Output || in->Direction() != PinDirection::Input)
        return E_INVALIDARG;
    if (gst_pad_is_linked(out->Pad()) || gst_pad_is_linked(in->Pad())) return VFW_E_CANNOT_CONNECT;
    // Refuse at connection time what could never be negotiated later.
    CapsPtr offered(gst_pad_query_caps(out->Pad(), nullptr));
    CapsPtr accepted(gst_pad_query_caps(in->Pad(), nullptr));
    if (!offered || !accepted || !gst_caps_can_intersect(offered.get(), accepted.get()))
        return VFW_E_CANNOT_CONNECT;
    if (gst_pad_link(out->Pad(), in->Pad()) != GST_PAD_LINK_OK) return VFW_E_CANNOT_CONNECT;
    return S_OK;
}

HRESULT FilterGraph::ReplaceFilter(BaseFilter* old, BaseFilter* replacement) {
    if (!old || !replacement) return E_POINTER;
    if (old->graph_ != this || replacement->graph_ || GST_OBJECT_PARENT(replacement->bin_))
        return E_INVALIDARG;
    RefPtr<BaseFilter> keep(old);  // the graph may hold its only reference
    RefPtr<Pin> oldOut = old->FindPin(PinDirection::Output);
    RefPtr<Pin> fed;
    if (oldOut) oldOut->ConnectedTo(&fed);
    RefPtr<Pin> newOut = replacement->FindPin(PinDirection::Output);
    if (fed) {
        if (!newOut) return VFW_E_CANNOT_CONNECT;
        CapsPtr offered(gst_pad_query_caps(newOut->Pad(), nullptr));
        CapsPtr accepted(gst_pad_query_caps(fed->Pad(), nullptr));
        if (!offered || !accepted || !gst_caps_can_intersect(offered.get(), accepted.get()))
            return VFW_E_CANNOT_CONNECT;
    }
    const std::string name = old->Name();
    RemoveFilter(old);
    HRESULT hr = AddFilter(replacement, name.c_str());
    if (FAILED(hr)) return hr;
    if (fed) {
        hr = ConnectDirect(newOut.Get(), fed.Get());
        if (FAILED(hr)) return hr;
    }
    if (!running_) return S_OK;
    gst_element_set_locked_state(replacement->bin_, !fed);
    if (fed && !gst_element_sync_state_with_parent(replacement->bin_)) return E_FAIL;
    DumpDot();
    return S_OK;
}

HRESULT FilterGraph::Run() {
    {
        std::lock_guard lock(errorMutex_);
        lastError_.clear();
    }
    // A filter with nothing connected stays stopped, as an unconnected
    // capture pin would simply not stream.
    for (auto& filter : filters_) {
        bool connected = false;
        for (auto& pin : filter->EnumPins()) connected = connected || gst_pad_is_linked(pin->Pad());
        gst_element_set_locked_state(filter->Element(), !connected);
    }
    GstStateChangeReturn ret = gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    if (ret == GST_STATE_CHANGE_ASYNC)
        ret = gst_element_get_state(pipeline_, nullptr, nullptr, 5 * GST_SECOND);
    if (ret == GST_STATE_CHANGE_FAILURE || ret == GST_STATE_CHANGE_ASYNC) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        return E_FAIL;
    }
    running_ = true;
    DumpDot();
    return S_OK;
}

HRESULT FilterGraph::Stop() {
    // Going to NULL joins every streaming thread before it returns.
    const GstStateChangeReturn ret = gst_element_set_state(pipeline_, GST_STATE_NULL);
    running_ = false;
    for (auto& filter : filters_) gst_element_set_locked_state(filter->Element(), FALSE);
    return ret == GST_STATE_CHANGE_FAILURE ? E_FAIL : S_OK;
}

std::vector<RefPtr<BaseFilter>> FilterGraph::Filters() const {
    return filters_;
}

RefPtr<BaseFilter> FilterGraph::FindFilterByName(const std::string& name) const {
    for (auto& filter : filters_)
        if (filter->Name() == name) return filter;
    return nullptr;
}

HRESULT FilterGraph::QueryVideoWindow(RefPtr<VideoRenderer>* window) const {
    if (!window) return E_POINTER;
    for (auto& filter : filters_) {
        if (auto* renderer = dynamic_cast<VideoRenderer*>(filter.Get())) {
            *window = renderer;
            return S_OK;
        }
    }
    *window = nullptr;
    return E_NOINTERFACE;
}

void FilterGraph::SetDumpName(const std::string& name) {
    dumpName_ = name;
}

void FilterGraph::DumpDot() const {
    // GStreamer reads the variable only when it starts; read it each time.
    const char* dir = std::getenv("GST_DEBUG_DUMP_DOT_DIR");
    if (dumpName_.empty() || !dir || !*dir) return;
    gchar* dot = gst_debug_bin_to_dot_data(GST_BIN(pipeline_), GST_DEBUG_GRAPH_SHOW_ALL);
    const std::string path = std::string(dir) + "/" + dumpName_ + ".dot";
    if (FILE* file = std::fopen(path.c_str(), "w")) {
        std::fputs(dot, file);
        std::fclose(file);
    }
    g_free(dot);
}

HRESULT RegisterGraph(FilterGraph* graph, const std::string& name, std::uint32_t* cookie) {
    if (!graph || !cookie) return E_POINTER;
    const char* dir = std::getenv("GST_DEBUG_DUMP_DOT_DIR");
    if (!dir || !*dir) return E_FAIL;
    static std::uint32_t next = 0;
    graph->SetDumpName(name);
    graph->DumpDot();
    *cookie = ++next == 0 ? ++next : next;
    return S_OK;
}

HRESULT RevokeGraph(FilterGraph* graph, std::uint32_t cookie) {
    if (!graph) return E_POINTER;
    if (cookie == 0) return E_INVALIDARG;
    graph->SetDumpName("");
    return S_OK;
}

// ---- CaptureGraphBuilder --------------------------------------------------

HRESULT CaptureGraphBuilder::SetFiltergraph(FilterGraph* graph) {
    if (!graph) return E_POINTER;
    if (graph_) return E_UNEXPECTED;
    graph_ = graph;
    return S_OK;
}

HRESULT CaptureGraphBuilder::FindStreamConfig(PinCategory, MajorType type, BaseFilter* filter,
                                              RefPtr<StreamConfig>* config) {
    if (!config) return E_POINTER;
    *config = nullptr;
    auto* device = dynamic_cast<CaptureFilter*>(filter);
    if (!device || device->StreamType() != type || !device->HasStreamConfig()) return E_NOINTERFACE;
    *config = RefPtr<StreamConfig>::Adopt(new StreamConfig(RefPtr<CaptureFilter>(device)));
    return S_OK;
}

HRESULT CaptureGraphBuilder::RenderStream(PinCategory category, MajorType type, BaseFilter* source,
                                          BaseFilter* intermediate, BaseFilter* renderer) {
    if (!graph_) return E_UNEXPECTED;
    if (!source) return E_POINTER;
    auto* device = dynamic_cast<CaptureFilter*>(source);
    if (!device || device->Graph() != graph_.Get()) return E_INVALIDARG;
    if (device->StreamType() != type) return E_FAIL;
    if ((intermediate && intermediate->Graph() != graph_.Get()) ||
        (renderer && renderer->Graph() != graph_.Get()))
        return E_INVALIDARG;

    RefPtr<Pin> out = device->FindPin(PinDirection::Output);
    if (!out || gst_pad_is_linked(out->Pad())) return E_FAIL;

    // The chain to connect: source -> intermediate -> renderer.
    RefPtr<BaseFilter> addedRenderer;
    if (!renderer) {
        addedRenderer = type == MajorType::Video ? RefPtr<BaseFilter>::Adopt(new VideoRenderer)
                                                 : RefPtr<BaseFilter>::Adopt(new NullRenderer);
        HRESULT hr = graph_->AddFilter(
            addedRenderer.Get(), type == MajorType::Video ? "Video Renderer" : "Audio Renderer");
        if (FAILED(hr)) return hr;
        renderer = addedRenderer.Get();
    }
    std::vector<std::pair<RefPtr<Pin>, RefPtr<Pin>>> made;
    auto undo = [&](HRESULT hr) {
        for (auto& link : made) graph_->Disconnect(link.first.Get());
        if (addedRenderer) graph_->RemoveFilter(addedRenderer.Get());
        return hr;
    };
    RefPtr<Pin> from = out;
    for (BaseFilter* next : {intermediate, renderer}) {
        if (!next) continue;
        RefPtr<Pin> in = next->FindPin(PinDirection::Input);
        if (!in) return undo(VFW_E_CANNOT_CONNECT);
        HRESULT hr = graph_->ConnectDirect(from.Get(), in.Get());
        if (FAILED(hr)) return undo(hr);
        made.emplace_back(from, in);
        from = next->FindPin(PinDirection::Output);
        if (!from && next != renderer) return undo(VFW_E_CANNOT_CONNECT);
    }
    // Devices here have no separate preview pin: the preview comes from the
    // capture pin, as a split-off preview would.
    return category == PinCategory::Preview ? VFW_S_NOPREVIEWPIN : S_OK;
}

}  // namespace capture
