#include "capture/TransformFilter.h"

#include <cstring>

namespace capture {

// ---- BufferAllocator ------------------------------------------------------

BufferAllocator::~BufferAllocator() {
    if (pool_) {
        gst_buffer_pool_set_active(pool_, FALSE);
        gst_object_unref(pool_);
    }
}

HRESULT BufferAllocator::SetProperties(const AllocatorProperties& request,
                                       AllocatorProperties* actual) {
    if (!actual) return E_POINTER;
    if (request.cBuffers < 1 || request.cbBuffer < 1 || request.cbAlign < 1) return E_INVALIDARG;
    if (pool_) {
        gst_buffer_pool_set_active(pool_, FALSE);
        gst_object_unref(pool_);
        pool_ = nullptr;
    }
    GstBufferPool* pool = gst_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool);
    // At least the requested count stays allocated; more are made when
    // downstream holds on to buffers.
    gst_buffer_pool_config_set_params(config, nullptr,
                                      static_cast<guint>(request.cbBuffer + request.cbPrefix),
                                      static_cast<guint>(request.cBuffers), 0);
    GstAllocationParams params;
    gst_allocation_params_init(&params);
    params.align = static_cast<gsize>(request.cbAlign - 1);
    params.prefix = static_cast<gsize>(request.cbPrefix);
    gst_buffer_pool_config_set_allocator(config, nullptr, &params);
    if (!gst_buffer_pool_set_config(pool, config) || !gst_buffer_pool_set_active(pool, TRUE)) {
        gst_object_unref(pool);
        return E_OUTOFMEMORY;
    }
    pool_ = pool;
    props_ = request;
    *actual = request;
    return S_OK;
}

HRESULT BufferAllocator::GetProperties(AllocatorProperties* props) const {
    if (!props) return E_POINTER;
    *props = props_;
    return S_OK;
}

// ---- MediaSample ----------------------------------------------------------

HRESULT MediaSample::GetPointer(std::uint8_t** data) const {
    if (!data) return E_POINTER;
    *data = data_;
    return S_OK;
}

HRESULT MediaSample::SetActualDataLength(long length) {
    if (length < 0 || length > size_) return E_INVALIDARG;
    length_ = length;
    return S_OK;
}

HRESULT MediaSample::GetTime(std::int64_t* start, std::int64_t* end) const {
    if (!start || !end) return E_POINTER;
    if (!GST_BUFFER_PTS_IS_VALID(buffer_)) return VFW_E_SAMPLE_TIME_NOT_SET;
    *start = static_cast<std::int64_t>(GST_BUFFER_PTS(buffer_) / 100);
    *end = GST_BUFFER_DURATION_IS_VALID(buffer_)
               ? static_cast<std::int64_t>(
                     (GST_BUFFER_PTS(buffer_) + GST_BUFFER_DURATION(buffer_)) / 100)
               : *start + 1;
    return S_OK;
}

HRESULT MediaSample::SetTime(const std::int64_t* start, const std::int64_t* end) {
    if (!start) {
        GST_BUFFER_PTS(buffer_) = GST_CLOCK_TIME_NONE;
        GST_BUFFER_DURATION(buffer_) = GST_CLOCK_TIME_NONE;
        return S_OK;
    }
    GST_BUFFER_PTS(buffer_) = static_cast<GstClockTime>(*start) * 100;
    GST_BUFFER_DURATION(buffer_) = end && *end >= *start
                                       ? static_cast<GstClockTime>(*end - *start) * 100
                                       : GST_CLOCK_TIME_NONE;
    return S_OK;
}

HRESULT MediaSample::GetMediaTime(std::int64_t* start, std::int64_t* end) const {
    if (!start || !end) return E_POINTER;
    if (!GST_BUFFER_OFFSET_IS_VALID(buffer_)) return VFW_E_SAMPLE_TIME_NOT_SET;
    *start = static_cast<std::int64_t>(GST_BUFFER_OFFSET(buffer_));
    *end = GST_BUFFER_OFFSET_END_IS_VALID(buffer_)
               ? static_cast<std::int64_t>(GST_BUFFER_OFFSET_END(buffer_))
               : *start;
    return S_OK;
}

HRESULT MediaSample::SetMediaTime(const std::int64_t* start, const std::int64_t* end) {
    GST_BUFFER_OFFSET(buffer_) = start ? static_cast<guint64>(*start) : GST_BUFFER_OFFSET_NONE;
    GST_BUFFER_OFFSET_END(buffer_) = end ? static_cast<guint64>(*end) : GST_BUFFER_OFFSET_NONE;
    return S_OK;
}

HRESULT MediaSample::GetMediaType(std::unique_ptr<MediaType>* type) const {
    if (!type) return E_POINTER;
    if (!type_) {
        type->reset();
        return S_FALSE;
    }
    *type = std::make_unique<MediaType>(*type_);
    return S_OK;
}

HRESULT MediaSample::SetMediaType(const MediaType* type) {
    // The format travels with the pad's caps; nothing to attach here.
    (void)type;
    return S_OK;
}

// ---- TransformFilter ------------------------------------------------------

TransformFilter::TransformFilter() : BaseFilter("transform") {
    element_ = NewHookElement(this, false);
    gst_bin_add(GST_BIN(bin_), element_);
    // Output first, then input: the order the pins are listed in.
    AddPin(element_, "src", "Out");
    AddPin(element_, "sink", "In");
}

TransformFilter::~TransformFilter() {
    gst_element_set_state(bin_, GST_STATE_NULL);
    DetachHooks(element_);
}

bool TransformFilter::InputConnected() const {
    GstPad* in = gst_element_get_static_pad(bin_, "In");
    const bool linked = in && gst_pad_is_linked(in);
    if (in) gst_object_unref(in);
    return linked;
}

HRESULT TransformFilter::GetInputAllocatorProperties(AllocatorProperties* props) const {
    if (!props) return E_POINTER;
    if (largestInput_ <= 0) return VFW_E_NOT_CONNECTED;
    props->cBuffers = 1;
    props->cbBuffer = largestInput_;
    props->cbAlign = 1;
    props->cbPrefix = 0;
    return S_OK;
}

GstCaps* TransformFilter::TransformCaps(GstPadDirection direction, GstCaps* caps) {
    // Output samples carry the input's bytes, so the caps are the same on
    // both sides; what the input refuses is dropped from either side.
    (void)direction;
    GstCaps* result = gst_caps_new_empty();
    if (gst_caps_is_any(caps)) {
        // Offer the kinds this filter could take.
        for (const char* kind : {"audio/x-raw", "video/x-raw"}) {
            GstCaps* probe = gst_caps_new_empty_simple(kind);
            if (CheckInputType(MediaTypeFromCaps(probe)) == S_OK)
                gst_caps_append(result, gst_caps_ref(probe));
            gst_caps_unref(probe);
        }
        return result;
    }
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        const GstStructure* s = gst_caps_get_structure(caps, i);
        if (CheckInputType(MediaTypeFromStructure(s)) == S_OK)
            gst_caps_append_structure_full(result, gst_structure_copy(s),
                                           gst_caps_features_copy(gst_caps_get_features(caps, i)));
    }
    return result;
}

bool TransformFilter::SetCaps(GstCaps* in, GstCaps* out) {
    (void)out;
    MediaType input = MediaTypeFromCaps(in);
    if (CheckInputType(input) != S_OK) return false;
    MediaType output;
    if (GetMediaType(0, &output) != S_OK) return false;
    if (CheckOutputType(output) != S_OK) return false;
    if (CheckTransform(input, output) != S_OK) return false;
    inputType_ = std::move(input);
    typeChanged_ = true;
    return true;
}

GstFlowReturn TransformFilter::PrepareOutput(GstBuffer* in, GstBuffer** out) {
    const long needed = static_cast<long>(gst_buffer_get_size(in));
    AllocatorProperties current;
    allocator_.GetProperties(&current);
    if (!allocator_.Pool() || current.cbBuffer < needed) {
        if (needed > largestInput_) largestInput_ = needed;
        AllocatorProperties request;
        const HRESULT hr = DecideBufferSize(&allocator_, &request);
        if (FAILED(hr) || !allocator_.Pool()) {
            GST_ELEMENT_ERROR(element_, CORE, NEGOTIATION, ("Cannot set up output buffers"),
                              ("DecideBufferSize: 0x%08x", static_cast<unsigned>(hr)));
            return GST_FLOW_ERROR;
        }
    }
    if (gst_buffer_pool_acquire_buffer(allocator_.Pool(), out, nullptr) != GST_FLOW_OK)
        return GST_FLOW_FLUSHING;
    return GST_FLOW_OK;
}

GstFlowReturn TransformFilter::Transform(GstBuffer* in, GstBuffer* out) {
    GstMapInfo inMap, outMap;
    if (!gst_buffer_map(in, &inMap, GST_MAP_READ)) return GST_FLOW_ERROR;
    if (!gst_buffer_map(out, &outMap, GST_MAP_WRITE)) {
        gst_buffer_unmap(in, &inMap);
        return GST_FLOW_ERROR;
    }
    MediaSample input(in, inMap.data, static_cast<long>(inMap.size),
                      typeChanged_ ? &inputType_ : nullptr);
    MediaSample output(out, outMap.data, static_cast<long>(outMap.size), nullptr);
    typeChanged_ = false;
    const HRESULT hr = Transform(&input, &output);
    const long length = output.GetActualDataLength();
    gst_buffer_unmap(out, &outMap);
    gst_buffer_unmap(in, &inMap);
    if (FAILED(hr)) {
        // One report for a filter that keeps failing.
        if (!failureReported_) {
            failureReported_ = true;
            GST_ELEMENT_WARNING(element_, STREAM, FAILED, ("Transform failed"),
                                ("0x%08x", static_cast<unsigned>(hr)));
        }
        return GST_BASE_TRANSFORM_FLOW_DROPPED;
    }
    gst_buffer_set_size(out, length);
    return GST_FLOW_OK;
}

void TransformFilter::Stopped() {
    largestInput_ = 0;
    failureReported_ = false;
}

}  // namespace capture
