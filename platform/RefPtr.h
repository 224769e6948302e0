#pragma once
// Reference counting for the objects the design passes around as interface
// references: an intrusive count (AddRef/Release) and a small smart pointer.

#include <atomic>
#include <cstdint>
#include <utility>

class RefCounted {
  public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    std::uint32_t AddRef() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
    std::uint32_t Release() {
        const std::uint32_t left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

  protected:
    virtual ~RefCounted() = default;

  private:
    std::atomic<std::uint32_t> count_{1};
};

// Holds one reference. Adopt() takes over a reference the caller already owns
// (a fresh object starts with a count of one); copying adds a reference.
template <typename T>
class RefPtr {
  public:
    RefPtr() = default;
    RefPtr(std::nullptr_t) {}
    RefPtr(T* object) : object_(object) {
        if (object_) object_->AddRef();
    }
    RefPtr(const RefPtr& other) : RefPtr(other.object_) {}
    RefPtr(RefPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <typename U>
    RefPtr(const RefPtr<U>& other) : RefPtr(other.Get()) {}
    ~RefPtr() { Reset(); }

    RefPtr& operator=(RefPtr other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    static RefPtr Adopt(T* object) {
        RefPtr result;
        result.object_ = object;
        return result;
    }

    // For calls that hand out a new reference through an out pointer (the
    // runtime's factories, QueryInterface): drops the one held and returns
    // where the new one goes.
    T** Put() {
        Reset();
        return &object_;
    }

    T* Get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void Reset() {
        if (object_) std::exchange(object_, nullptr)->Release();
    }

  private:
    T* object_ = nullptr;
};

template <typename T, typename... Args>
RefPtr<T> MakeRef(Args&&... args) {
    return RefPtr<T>::Adopt(new T(std::forward<Args>(args)...));
}
