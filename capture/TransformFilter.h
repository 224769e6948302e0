#pragma once
// Base for our own transform filters: input pin "In", output pin "Out", one
// output sample per input sample, with the format checks and the buffer
// size decided by the derived filter. Transform runs on the streaming thread.

#include <cstdint>
#include <memory>
#include <mutex>

#include "capture/Filter.h"
#include "capture/HookElement.h"

namespace capture {

struct AllocatorProperties {
    long cBuffers = 0;
    long cbBuffer = 0;
    long cbAlign = 0;
    long cbPrefix = 0;
};

// The output buffers of a transform filter: a pool of equal buffers.
class BufferAllocator {
  public:
    ~BufferAllocator();
    HRESULT SetProperties(const AllocatorProperties& request, AllocatorProperties* actual);
    HRESULT GetProperties(AllocatorProperties* props) const;
    GstBufferPool* Pool() const { return pool_; }

  private:
    GstBufferPool* pool_ = nullptr;
    AllocatorProperties props_;
};

// One buffer as the filter sees it. Times are in 100 ns units.
class MediaSample {
  public:
    MediaSample(GstBuffer* buffer, std::uint8_t* data, long size, const MediaType* changedType)
        : buffer_(buffer), data_(data), size_(size), length_(size), type_(changedType) {}

    HRESULT GetPointer(std::uint8_t** data) const;
    long GetSize() const { return size_; }
    long GetActualDataLength() const { return length_; }
    HRESULT SetActualDataLength(long length);
    // S_OK with the times, VFW_E_SAMPLE_TIME_NOT_SET when the buffer has none.
    HRESULT GetTime(std::int64_t* start, std::int64_t* end) const;
    HRESULT SetTime(const std::int64_t* start, const std::int64_t* end);
    HRESULT GetMediaTime(std::int64_t* start, std::int64_t* end) const;
    HRESULT SetMediaTime(const std::int64_t* start, const std::int64_t* end);
    // A copy of the format when it changed with this sample, else S_FALSE.
    HRESULT GetMediaType(std::unique_ptr<MediaType>* type) const;
    HRESULT SetMediaType(const MediaType* type);

  private:
    GstBuffer* buffer_;
    std::uint8_t* data_;
    long size_;
    long length_;
    const MediaType* type_;
};

constexpr HRESULT VFW_E_SAMPLE_TIME_NOT_SET = static_cast<HRESULT>(0x80040249u);

class TransformFilter : public BaseFilter, protected ElementHooks {
  public:
    ~TransformFilter() override;

  protected:
    TransformFilter();

    virtual HRESULT Transform(MediaSample* in, MediaSample* out) = 0;
    virtual HRESULT CheckInputType(const MediaType& type) = 0;
    virtual HRESULT CheckTransform(const MediaType& in, const MediaType& out) = 0;
    virtual HRESULT DecideBufferSize(BufferAllocator* allocator, AllocatorProperties* request) = 0;
    virtual HRESULT GetMediaType(int position, MediaType* type) = 0;
    // The output pin's own check of a type.
    virtual HRESULT CheckOutputType(const MediaType& type) {
        (void)type;
        return S_OK;
    }

    bool InputConnected() const;
    // The input side's buffer needs: one buffer the size of the largest
    // input seen so far.
    HRESULT GetInputAllocatorProperties(AllocatorProperties* props) const;

  private:
    GstCaps* TransformCaps(GstPadDirection direction, GstCaps* caps) override;
    bool SetCaps(GstCaps* in, GstCaps* out) override;
    GstFlowReturn PrepareOutput(GstBuffer* in, GstBuffer** out) override;
    GstFlowReturn Transform(GstBuffer* in, GstBuffer* out) override;
    void Stopped() override;

    GstElement* element_;
    BufferAllocator allocator_;
    long largestInput_ = 0;
    MediaType inputType_;
    bool typeChanged_ = false;
    bool failureReported_ = false;
};

}  // namespace capture
