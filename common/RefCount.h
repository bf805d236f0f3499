// RefCount and SmartPtr: intrusive, atomically counted shared ownership.
//
// A RefCount object is created on the heap with a count of 0; the first
// SmartPtr that takes it raises the count to 1, and the release that brings it
// back to 0 deletes it through its virtual destructor. There is no weak form:
// owners break cycles themselves.
//
// Thread safety: AddRef and Release are atomic, so one object may be held and
// released from several threads at once. A SmartPtr variable is not
// synchronised: two threads must not assign the same variable at once.
#ifndef QORAPI_COMMON_REFCOUNT_H
#define QORAPI_COMMON_REFCOUNT_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace QORAPI {

class RefCount
{
public:
    RefCount() : mRefCount(0) {}
    RefCount(const RefCount&) : mRefCount(0) {}
    RefCount& operator=(const RefCount&) { return *this; }
    virtual ~RefCount() = default;

    RefCount* AddRef()
    {
        mRefCount.fetch_add(1, std::memory_order_relaxed);
        return this;
    }

    // Returns the decremented count; deletes the object when it drops to 0 or below.
    int32_t Release()
    {
        const int32_t count = mRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count <= 0)
            delete this;
        return count;
    }

    int32_t GetRefCount() const { return mRefCount.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> mRefCount;
};

template <class T>
class SmartPtr
{
public:
    SmartPtr() : mPtr(nullptr) {}
    SmartPtr(std::nullptr_t) : mPtr(nullptr) {}
    SmartPtr(T* ptr) : mPtr(ptr) { if (mPtr) mPtr->AddRef(); }
    SmartPtr(const SmartPtr& other) : mPtr(other.mPtr) { if (mPtr) mPtr->AddRef(); }
    SmartPtr(SmartPtr&& other) noexcept : mPtr(other.mPtr) { other.mPtr = nullptr; }

    template <class U>
    SmartPtr(const SmartPtr<U>& other) : mPtr(other.Get()) { if (mPtr) mPtr->AddRef(); }

    ~SmartPtr() { if (mPtr) mPtr->Release(); }

    SmartPtr& operator=(T* ptr)
    {
        if (ptr != mPtr)
        {
            if (ptr)
                ptr->AddRef();
            T* old = mPtr;
            mPtr = ptr;
            if (old)
                old->Release();
        }
        return *this;
    }
    SmartPtr& operator=(const SmartPtr& other) { return *this = other.mPtr; }
    SmartPtr& operator=(SmartPtr&& other) noexcept
    {
        if (this != &other)
        {
            T* old = mPtr;
            mPtr = other.mPtr;
            other.mPtr = nullptr;
            if (old)
                old->Release();
        }
        return *this;
    }
    // Only implicit (up-cast) conversions; a down-cast goes through StaticPtrCast
    // or DynamicPtrCast.
    template <class U>
    SmartPtr& operator=(const SmartPtr<U>& other)
    {
        T* ptr = other.Get();
        return *this = ptr;
    }
    SmartPtr& operator=(std::nullptr_t) { return *this = static_cast<T*>(nullptr); }

    T* Get() const { return mPtr; }
    T* operator->() const { return mPtr; }
    T& operator*() const { return *mPtr; }
    explicit operator bool() const { return mPtr != nullptr; }

    void Reset() { *this = nullptr; }

    bool operator==(const T* ptr) const { return mPtr == ptr; }
    bool operator!=(const T* ptr) const { return mPtr != ptr; }
    bool operator==(const SmartPtr& other) const { return mPtr == other.mPtr; }
    bool operator!=(const SmartPtr& other) const { return mPtr != other.mPtr; }
    bool operator==(std::nullptr_t) const { return mPtr == nullptr; }
    bool operator!=(std::nullptr_t) const { return mPtr != nullptr; }
    bool operator<(const SmartPtr& other) const { return mPtr < other.mPtr; }

private:
    T* mPtr;
};

// Casts between SmartPtr types that share an object (static and checked forms).
template <class T, class U>
SmartPtr<T> StaticPtrCast(const SmartPtr<U>& ptr) { return SmartPtr<T>(static_cast<T*>(ptr.Get())); }

template <class T, class U>
SmartPtr<T> DynamicPtrCast(const SmartPtr<U>& ptr) { return SmartPtr<T>(dynamic_cast<T*>(ptr.Get())); }

} // namespace QORAPI

#endif
