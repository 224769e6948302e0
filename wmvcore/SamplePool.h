#pragma once
// The writer's copies of the samples it is given: a fixed number of buffers
// per input, made when writing begins, and the queue that hands the filled
// ones to the writer's thread in the order they were written. Writing never
// waits for the thread: with no free buffer a sample is refused and the
// caller's next one tries again.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "wmvcore/wmvcore.h"

namespace wmv {

// A sample buffer of the writer (AllocateSample): plain memory of a fixed
// capacity with a length.
class SampleBuffer final : public INSSBuffer {
  public:
    explicit SampleBuffer(std::uint32_t size) : data_(size), length_(size) {}

    HRESULT GetLength(std::uint32_t* length) override;
    HRESULT SetLength(std::uint32_t length) override;
    HRESULT GetMaxLength(std::uint32_t* length) override;
    HRESULT GetBuffer(std::uint8_t** buffer) override;
    HRESULT GetBufferAndLength(std::uint8_t** buffer, std::uint32_t* length) override;

  private:
    std::vector<std::uint8_t> data_;
    std::uint32_t length_;
};

// One pooled sample copy.
struct Slot {
    std::vector<std::uint8_t> data;
    std::uint32_t length = 0;
    std::uint32_t input = 0;
    std::uint64_t time = 0;
};

class SamplePool {
  public:
    // How one input's samples are kept.
    struct InputLayout {
        int count = 0;                // buffers
        std::uint32_t capacity = 0;   // bytes each buffer starts with
        std::uint32_t minLength = 0;  // shorter samples are refused
        // 0: pictures, clipped to the capacity. Otherwise sound: the length
        // is cut to whole blocks and a longer chunk grows its buffer once.
        std::uint32_t blockAlign = 0;
    };

    // Makes the buffers and starts accepting samples. E_OUTOFMEMORY when
    // they cannot be had.
    HRESULT Begin(const std::vector<InputLayout>& inputs);

    // Copies a sample into a free buffer of its input and queues it; any
    // thread. NS_E_INVALID_REQUEST when not accepting, E_INVALIDARG for an
    // unknown input, NS_E_INVALID_INPUT_FORMAT for a short sample, ENOBUFS
    // (as an HRESULT) when every buffer of the input is taken.
    HRESULT Write(std::uint32_t input, std::uint64_t time, const std::uint8_t* data,
                  std::uint32_t length);

    // The writer's thread: waits for the next queued buffer and takes it; -1
    // once Stop was called and the queue is empty.
    int Next();
    Slot& At(int index) { return slots_[static_cast<std::size_t>(index)]; }
    // One more user of a taken buffer (another thread that encodes it too).
    void Hold(int index);
    // A user has finished with a buffer; after the last one it is free again.
    void Done(int index);

    // Waits until every queued buffer is processed by all its users. False
    // when not accepting.
    bool WaitIdle();
    // Refuses new samples, waits for copies in progress, and lets Next run
    // the queue dry and end.
    void Stop();
    // Frees the buffers; after the thread has ended.
    void Clear();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable idle_;
    std::vector<InputLayout> layouts_;
    std::vector<Slot> slots_;
    std::vector<std::vector<int>> free_;  // per input
    std::vector<int> queue_;              // ring of slot indices
    std::size_t queueHead_ = 0;
    std::size_t queueCount_ = 0;
    bool accepting_ = false;
    bool stop_ = false;
    std::vector<int> holders_;  // per slot
    int held_ = 0;              // taken buffers not yet done with
    int inFlight_ = 0;
};

}  // namespace wmv
