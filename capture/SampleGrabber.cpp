#include "capture/SampleGrabber.h"

#include <gst/video/video.h>

#include <cstring>

#include "capture/TransformFilter.h"

namespace capture {

namespace {

constexpr const char* kDibCaps = "video/x-lumacast-dib";

// Copies width/height/framerate/pixel-aspect-ratio between structures.
void CopyGeometry(const GstStructure* from, GstStructure* to) {
    for (const char* field : {"width", "height", "framerate", "pixel-aspect-ratio"}) {
        if (const GValue* v = gst_structure_get_value(from, field))
            gst_structure_set_value(to, field, v);
    }
}

}  // namespace

SampleGrabber::SampleGrabber() : BaseFilter("sample grabber") {
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* bgr = gst_element_factory_make("capsfilter", nullptr);
    core_ = NewHookElement(this, true);
    GstCaps* caps = gst_caps_from_string("video/x-raw,format=BGR");
    g_object_set(bgr, "caps", caps, nullptr);
    gst_caps_unref(caps);
    gst_bin_add_many(GST_BIN(bin_), convert, bgr, core_, nullptr);
    gst_element_link_many(convert, bgr, core_, nullptr);
    AddPin(convert, "sink", "In");
    AddPin(core_, "src", "Out");
}

SampleGrabber::~SampleGrabber() {
    gst_element_set_state(bin_, GST_STATE_NULL);
    DetachHooks(core_);
}

HRESULT SampleGrabber::SetMediaType(const MediaType& type) {
    if (type.majortype != MajorType::Video || type.subtype != SubType::RGB24) return E_INVALIDARG;
    return S_OK;
}

HRESULT SampleGrabber::GetConnectedMediaType(MediaType* type) const {
    if (!type) return E_POINTER;
    GstPad* out = gst_element_get_static_pad(core_, "src");
    GstCaps* current = gst_pad_get_current_caps(out);
    gst_object_unref(out);
    if (current) {
        *type = MediaTypeFromCaps(current);
        gst_caps_unref(current);
        return S_OK;
    }
    GstPad* in = gst_element_get_static_pad(bin_, "In");
    const bool linked = gst_pad_is_linked(in);
    GstCaps* upstream = linked ? gst_pad_peer_query_caps(in, nullptr) : nullptr;
    gst_object_unref(in);
    if (!linked) return VFW_E_NOT_CONNECTED;
    *type = MediaType{};
    type->majortype = MajorType::Video;
    type->subtype = SubType::RGB24;
    if (upstream && !gst_caps_is_empty(upstream) && !gst_caps_is_any(upstream)) {
        const GstStructure* s = gst_caps_get_structure(upstream, 0);
        int width = 0, height = 0, num = 0, den = 1;
        if (gst_structure_get_int(s, "width", &width) &&
            gst_structure_get_int(s, "height", &height)) {
            if (!gst_structure_get_fraction(s, "framerate", &num, &den)) num = 0;
            *type = VideoMediaType(SubType::RGB24, width, height, num, den);
        }
    }
    if (upstream) gst_caps_unref(upstream);
    return S_OK;
}

HRESULT SampleGrabber::SetBufferSamples(bool buffer) {
    return buffer ? E_NOTIMPL : S_OK;
}
HRESULT SampleGrabber::SetOneShot(bool oneShot) {
    return oneShot ? E_NOTIMPL : S_OK;
}

HRESULT SampleGrabber::SetCallback(ISampleGrabberCB* callback, int which) {
    if (which != 0 && which != 1) return E_INVALIDARG;
    std::lock_guard lock(callbackMutex_);
    callback_ = callback;
    which_ = which;
    return S_OK;
}

bool SampleGrabber::GetCurrentFrameSize(int* width, int* height) const {
    const int w = width_.load(), h = height_.load();
    if (w <= 0 || h <= 0) return false;
    *width = w;
    *height = h;
    return true;
}

GstCaps* SampleGrabber::TransformCaps(GstPadDirection direction, GstCaps* caps) {
    // BGR frames on the input are DIB frames on the output and back.
    GstCaps* result = gst_caps_new_empty();
    const bool toDib = direction == GST_PAD_SINK;
    if (gst_caps_is_any(caps)) {
        gst_caps_append_structure(result, toDib ? gst_structure_new_empty(kDibCaps)
                                                : gst_structure_new("video/x-raw", "format",
                                                                    G_TYPE_STRING, "BGR", nullptr));
        return result;
    }
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* s = gst_caps_get_structure(caps, i);
        GstStructure* other = nullptr;
        if (toDib && gst_structure_has_name(s, "video/x-raw")) {
            const char* fmt = gst_structure_get_string(s, "format");
            if (fmt && std::strcmp(fmt, "BGR") != 0) continue;
            if (!fmt && gst_structure_has_field(s, "format"))
                continue;  // a list: BGR is checked on fixing
            other = gst_structure_new_empty(kDibCaps);
        } else if (!toDib && gst_structure_has_name(s, kDibCaps)) {
            other = gst_structure_new("video/x-raw", "format", G_TYPE_STRING, "BGR", nullptr);
        } else {
            continue;
        }
        CopyGeometry(s, other);
        gst_caps_append_structure(result, other);
    }
    return result;
}

bool SampleGrabber::SetCaps(GstCaps* in, GstCaps* out) {
    (void)out;
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, in) ||
        GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGR)
        return false;
    row_.assign(static_cast<std::size_t>(DibStride(GST_VIDEO_INFO_WIDTH(&info))), 0);
    width_ = GST_VIDEO_INFO_WIDTH(&info);
    height_ = GST_VIDEO_INFO_HEIGHT(&info);
    return true;
}

GstFlowReturn SampleGrabber::TransformIp(GstBuffer* buffer) {
    const int width = width_.load(), height = height_.load();
    const std::size_t stride = static_cast<std::size_t>(DibStride(width));
    const std::size_t length = stride * static_cast<std::size_t>(height);
    if (GstVideoMeta* meta = gst_buffer_get_video_meta(buffer)) {
        if (static_cast<std::size_t>(meta->stride[0]) != stride || meta->offset[0] != 0) {
            if (!strideWarned_) {
                strideWarned_ = true;
                GST_ELEMENT_WARNING(core_, STREAM, FORMAT,
                                    ("Frames with a foreign row layout pass untouched"), (nullptr));
            }
            return GST_FLOW_OK;
        }
    }
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READWRITE)) return GST_FLOW_ERROR;
    if (map.size < length) {
        gst_buffer_unmap(buffer, &map);
        return GST_FLOW_ERROR;
    }
    // Turn the picture into bottom-up rows in place: one pass of row swaps,
    // no second frame buffer.
    std::uint8_t* top = map.data;
    std::uint8_t* bottom = map.data + length - stride;
    while (top < bottom) {
        std::memcpy(row_.data(), top, stride);
        std::memcpy(top, bottom, stride);
        std::memcpy(bottom, row_.data(), stride);
        top += stride;
        bottom -= stride;
    }
    ++frames_;
    {
        // Held across the call so that SetCallback can promise that the old
        // callback is done. The callback only copies and draws into the
        // frame; it never waits for the thread that sets callbacks or stops
        // the graph, so neither side can stall the other.
        std::lock_guard lock(callbackMutex_);
        if (callback_) {
            const double time =
                GST_BUFFER_PTS_IS_VALID(buffer) ? GST_BUFFER_PTS(buffer) / 1e9 : 0.0;
            if (which_ == 1) {
                callback_->BufferCB(time, map.data, static_cast<long>(length));
            } else {
                MediaSample sample(buffer, map.data, static_cast<long>(length), nullptr);
                callback_->SampleCB(time, &sample);
            }
        }
    }
    gst_buffer_unmap(buffer, &map);
    return GST_FLOW_OK;
}

}  // namespace capture
