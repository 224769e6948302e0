#include "media/SoundCaptureFilter.h"

#include <cstring>

using namespace capture;

HRESULT SoundCaptureFilter::CheckInputType(const MediaType& type) {
    return type.formattype == FormatType::WaveFormatEx ? S_OK : S_FALSE;
}

HRESULT SoundCaptureFilter::CheckTransform(const MediaType& in, const MediaType&) {
    const HRESULT hr = CheckInputType(in);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT SoundCaptureFilter::GetMediaType(int position, MediaType* type) {
    if (!type) return E_POINTER;
    if (position != 0) return VFW_S_NO_MORE_ITEMS;
    *type = MediaType{};
    type->majortype = MajorType::Stream;
    type->subtype = SubType::WAVE;
    return S_OK;
}

HRESULT SoundCaptureFilter::CheckOutputType(const MediaType& type) {
    return type.majortype == MajorType::Stream && type.subtype == SubType::WAVE ? S_OK : S_FALSE;
}

HRESULT SoundCaptureFilter::Copy(MediaSample* source, MediaSample* dest) {
    const long length = source->GetActualDataLength();
    std::uint8_t* from = nullptr;
    std::uint8_t* to = nullptr;
    source->GetPointer(&from);
    dest->GetPointer(&to);
    if (!from || !to || length > dest->GetSize()) return E_FAIL;
    std::memcpy(to, from, static_cast<std::size_t>(length));

    std::int64_t start = 0, end = 0;
    if (source->GetTime(&start, &end) == S_OK) dest->SetTime(&start, &end);
    if (source->GetMediaTime(&start, &end) == S_OK) dest->SetMediaTime(&start, &end);

    std::unique_ptr<MediaType> type;
    if (source->GetMediaType(&type) == S_OK) dest->SetMediaType(type.get());
    return dest->SetActualDataLength(length);
}

HRESULT SoundCaptureFilter::Transform(MediaSample* in, MediaSample* out) {
    const HRESULT hr = Copy(in, out);
    if (FAILED(hr)) return hr;
    std::lock_guard lock(callbackMutex_);
    if (callback_) {
        std::uint8_t* data = nullptr;
        in->GetPointer(&data);
        callback_->OnAudioChunk(data, static_cast<std::int32_t>(in->GetActualDataLength()));
    }
    return S_OK;
}

void SoundCaptureFilter::SetAudioCallback(AudioChunkCallback* callback) {
    std::lock_guard lock(callbackMutex_);
    callback_ = callback;
}

HRESULT SoundCaptureFilter::DecideBufferSize(BufferAllocator* allocator,
                                             AllocatorProperties* request) {
    if (!allocator || !request) return E_POINTER;
    if (!InputConnected()) return E_UNEXPECTED;
    AllocatorProperties input;
    HRESULT hr = GetInputAllocatorProperties(&input);
    if (FAILED(hr)) return hr;
    request->cBuffers = 1;
    request->cbAlign = 1;
    request->cbBuffer = input.cbBuffer;
    AllocatorProperties actual;
    hr = allocator->SetProperties(*request, &actual);
    if (FAILED(hr)) return hr;
    if (actual.cBuffers < request->cBuffers || actual.cbBuffer < request->cbBuffer) return E_FAIL;
    return S_OK;
}
