#pragma once
// The filter graph of the capture side on GStreamer: filters are bins with
// named pins (ghost pads), the graph is a pipeline, and the builder connects a
// capture stream through a tap into a renderer.

#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/MediaTypes.h"
#include "platform/RefPtr.h"

namespace capture {

class BaseFilter;
class FilterGraph;
class PreviewSurface;

// One pin of a filter.
class Pin : public RefCounted {
  public:
    struct Info {
        RefPtr<BaseFilter> filter;
        PinDirection dir = PinDirection::Input;
        std::string name;
    };

    explicit Pin(GstPad* pad);  // takes a reference on the pad
    ~Pin() override;

    // The pin this one is connected to; VFW_E_NOT_CONNECTED if none.
    HRESULT ConnectedTo(RefPtr<Pin>* other) const;
    HRESULT QueryPinInfo(Info* info) const;
    PinDirection Direction() const;
    GstPad* Pad() const { return pad_; }

  private:
    GstPad* pad_;
};

// A filter: one GStreamer bin whose external pads are its pins.
class BaseFilter : public RefCounted {
  public:
    ~BaseFilter() override;

    GstElement* Element() const { return bin_; }
    std::string Name() const;
    FilterGraph* Graph() const { return graph_; }
    std::vector<RefPtr<Pin>> EnumPins() const;
    // The first pin of a direction, or null.
    RefPtr<Pin> FindPin(PinDirection dir) const;
    // The filter a bin belongs to (a pad's parent), or null.
    static BaseFilter* FromElement(GstObject* element);

  protected:
    explicit BaseFilter(const char* kind);
    // Exposes an element's pad as a pin of this filter.
    void AddPin(GstElement* element, const char* padName, const char* pinName);

    GstElement* bin_;

  private:
    friend class FilterGraph;
    FilterGraph* graph_ = nullptr;
};

// Discards what arrives (fakesink).
class NullRenderer : public BaseFilter {
  public:
    NullRenderer();
    std::uint64_t BuffersRendered() const { return buffers_.load(); }

  private:
    static GstPadProbeReturn OnBuffer(GstPad*, GstPadProbeInfo* info, gpointer self);
    std::atomic<std::uint64_t> buffers_{0};
};

// The preview renderer: hands each frame to the attached surface, drops it
// when none is attached.
class VideoRenderer : public BaseFilter {
  public:
    VideoRenderer();
    ~VideoRenderer() override;

    // The surface that gets the frames (null: none). Waits for a frame being
    // shown, so the surface it replaces gets no call after it returns.
    HRESULT put_Owner(PreviewSurface* surface);
    HRESULT put_Visible(bool visible);
    // The size of the frames arriving; E_FAIL before the first frame.
    HRESULT get_VideoWidth(long* width) const;
    HRESULT get_VideoHeight(long* height) const;
    std::uint64_t FramesRendered() const;

  private:
    static void OnHandoff(GstElement*, GstBuffer* buffer, GstPad* pad, gpointer self);

    mutable std::mutex mutex_;
    PreviewSurface* surface_ = nullptr;
    bool visible_ = false;
    int width_ = 0;
    int height_ = 0;
    std::uint64_t frames_ = 0;
};

// A failure that a filter of a graph reported (a device unplugged, busy,
// refusing its format).
struct FilterError {
    enum class Kind { Gone, Busy, Format, Other };
    RefPtr<BaseFilter> filter;
    Kind kind = Kind::Other;
    std::string message;  // GStreamer's own words
};

// The graph: a pipeline of filters. It keeps the system clock whatever its
// filters offer, so that a filter leaving a running graph never takes the
// graph's clock with it.
class FilterGraph : public RefCounted {
  public:
    FilterGraph();
    ~FilterGraph() override;

    // Adds a filter under a name (null: one is made up). A filter belongs to
    // at most one graph.
    HRESULT AddFilter(BaseFilter* filter, const char* name);
    HRESULT RemoveFilter(BaseFilter* filter);
    // Breaks the connection of one pin; S_FALSE if it had none.
    HRESULT Disconnect(Pin* pin);
    // Connects an output pin to an input pin; VFW_E_CANNOT_CONNECT when
    // their formats cannot meet.
    HRESULT ConnectDirect(Pin* out, Pin* in);
    // Puts replacement (in no graph) where old is, under old's name and
    // connected as old was, in the graph's state: running, the rest of the
    // graph runs on meanwhile. VFW_E_CANNOT_CONNECT (nothing changed) when the
    // replacement's formats cannot meet what old fed; E_FAIL when the
    // replacement would not start (it stays in the graph, to be replaced).
    HRESULT ReplaceFilter(BaseFilter* old, BaseFilter* replacement);
    HRESULT Run();
    // Returns after every streaming thread of the graph has stopped.
    HRESULT Stop();
    bool Running() const { return running_; }

    std::vector<RefPtr<BaseFilter>> Filters() const;
    RefPtr<BaseFilter> FindFilterByName(const std::string& name) const;
    // The preview renderer of the graph (the video window), if any.
    HRESULT QueryVideoWindow(RefPtr<VideoRenderer>* window) const;
    // The first error the pipeline reported since Run, or empty.
    std::string LastError() const;
    // The errors that filters still in the graph reported since the last
    // call, oldest first, one per filter.
    std::vector<FilterError> TakeFilterErrors();
    GstElement* Pipeline() const { return pipeline_; }

    // Writes the graph as "<name>.dot" when GST_DEBUG_DUMP_DOT_DIR is set.
    void SetDumpName(const std::string& name);
    void DumpDot() const;

  private:
    static GstBusSyncReply OnBusMessage(GstBus* bus, GstMessage* message, gpointer self);

    // An error noted on a streaming thread. The filter is only compared,
    // never used, until the user-interface thread finds it in the graph;
    // removing a filter drops its errors, so an address is never mistaken
    // for a filter made later at the same place.
    struct PendingError {
        const BaseFilter* filter;
        FilterError::Kind kind;
        std::string message;
    };

    GstElement* pipeline_;
    std::vector<RefPtr<BaseFilter>> filters_;
    bool running_ = false;
    std::string dumpName_;
    mutable std::mutex errorMutex_;
    std::string lastError_;                   // under errorMutex_
    std::vector<PendingError> filterErrors_;  // under errorMutex_
};

class StreamConfig;

// Connects capture streams and finds a capture pin's configuration.
class CaptureGraphBuilder : public RefCounted {
  public:
    HRESULT SetFiltergraph(FilterGraph* graph);
    // The stream configuration of the capture pin of a device filter for a
    // media type; E_NOINTERFACE when the filter has no such pin.
    HRESULT FindStreamConfig(PinCategory category, MajorType type, BaseFilter* filter,
                             RefPtr<StreamConfig>* config);
    // Connects source's pin of the category through intermediate (may be
    // null) into renderer (null: the default renderer for the type is added).
    // A device without a preview pin previews from its capture pin and
    // answers VFW_S_NOPREVIEWPIN.
    HRESULT RenderStream(PinCategory category, MajorType type, BaseFilter* source,
                         BaseFilter* intermediate, BaseFilter* renderer);

  private:
    RefPtr<FilterGraph> graph_;
};

// Stands in for the Running Object Table: a registered graph is written as a
// .dot file when GST_DEBUG_DUMP_DOT_DIR is set (and again each time it runs).
HRESULT RegisterGraph(FilterGraph* graph, const std::string& name, std::uint32_t* cookie);
HRESULT RevokeGraph(FilterGraph* graph, std::uint32_t cookie);

}  // namespace capture
