#include "wmvcore/SamplePool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace wmv {

HRESULT SampleBuffer::GetLength(std::uint32_t* length) {
    if (!length) return E_POINTER;
    *length = length_;
    return S_OK;
}

HRESULT SampleBuffer::SetLength(std::uint32_t length) {
    if (length > data_.size()) return E_INVALIDARG;
    length_ = length;
    return S_OK;
}

HRESULT SampleBuffer::GetMaxLength(std::uint32_t* length) {
    if (!length) return E_POINTER;
    *length = static_cast<std::uint32_t>(data_.size());
    return S_OK;
}

HRESULT SampleBuffer::GetBuffer(std::uint8_t** buffer) {
    if (!buffer) return E_POINTER;
    *buffer = data_.data();
    return S_OK;
}

HRESULT SampleBuffer::GetBufferAndLength(std::uint8_t** buffer, std::uint32_t* length) {
    if (!buffer || !length) return E_POINTER;
    *buffer = data_.data();
    *length = length_;
    return S_OK;
}

HRESULT SamplePool::Begin(const std::vector<InputLayout>& inputs) {
    try {
        std::lock_guard lock(mutex_);
        layouts_ = inputs;
        slots_.clear();
        free_.assign(inputs.size(), {});
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            for (int k = 0; k < inputs[i].count; ++k) {
                Slot slot;
                slot.data.resize(inputs[i].capacity);
                slot.input = static_cast<std::uint32_t>(i);
                free_[i].push_back(static_cast<int>(slots_.size()));
                slots_.push_back(std::move(slot));
            }
        }
        queue_.assign(slots_.size(), -1);
        holders_.assign(slots_.size(), 0);
        queueHead_ = queueCount_ = 0;
        held_ = 0;
        stop_ = false;
        inFlight_ = 0;
        accepting_ = true;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT SamplePool::Write(std::uint32_t input, std::uint64_t time, const std::uint8_t* data,
                          std::uint32_t length) {
    int index = -1;
    InputLayout layout;
    {
        std::lock_guard lock(mutex_);
        if (!accepting_) return NS_E_INVALID_REQUEST;
        if (input >= layouts_.size()) return E_INVALIDARG;
        layout = layouts_[input];
        if (length < layout.minLength) return NS_E_INVALID_INPUT_FORMAT;
        // A live writer that falls behind drops rather than blocks.
        if (free_[input].empty()) return HresultFromErrno(ENOBUFS);
        index = free_[input].back();
        free_[input].pop_back();
        ++inFlight_;
    }
    // The buffer is ours alone until it is queued: copy without the lock.
    Slot& slot = At(index);
    if (layout.blockAlign == 0) {
        length = std::min(length, static_cast<std::uint32_t>(slot.data.size()));
    } else {
        length -= length % layout.blockAlign;
        if (slot.data.size() < length)
            slot.data.resize(length);  // once for an unusually long chunk
    }
    std::memcpy(slot.data.data(), data, length);
    slot.length = length;
    slot.time = time;
    {
        std::lock_guard lock(mutex_);
        queue_[(queueHead_ + queueCount_) % queue_.size()] = index;
        ++queueCount_;
        --inFlight_;
    }
    changed_.notify_all();
    return S_OK;
}

int SamplePool::Next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queueCount_ > 0 || stop_; });
    if (queueCount_ == 0) {
        idle_.notify_all();
        return -1;
    }
    const int index = queue_[queueHead_];
    queueHead_ = (queueHead_ + 1) % queue_.size();
    --queueCount_;
    holders_[static_cast<std::size_t>(index)] = 1;
    ++held_;
    return index;
}

void SamplePool::Hold(int index) {
    std::lock_guard lock(mutex_);
    ++holders_[static_cast<std::size_t>(index)];
    ++held_;
}

void SamplePool::Done(int index) {
    {
        std::lock_guard lock(mutex_);
        --held_;
        if (--holders_[static_cast<std::size_t>(index)] == 0)
            free_[At(index).input].push_back(index);
    }
    idle_.notify_all();
}

bool SamplePool::WaitIdle() {
    std::unique_lock lock(mutex_);
    if (!accepting_) return false;
    idle_.wait(lock, [&] { return (queueCount_ == 0 && held_ == 0 && inFlight_ == 0) || stop_; });
    return true;
}

void SamplePool::Stop() {
    {
        std::unique_lock lock(mutex_);
        accepting_ = false;
        idle_.wait(lock, [&] { return inFlight_ == 0; });
        stop_ = true;
    }
    changed_.notify_all();
}

void SamplePool::Clear() {
    std::lock_guard lock(mutex_);
    slots_.clear();
    free_.clear();
    queue_.clear();
    holders_.clear();
    layouts_.clear();
    queueCount_ = 0;
    accepting_ = false;
}

}  // namespace wmv
