// Growable first-in-first-out byte buffer with little-endian typed reads. Not locked by
// itself: callers that share a queue between threads bracket their use with Lock/Unlock.
// Owned by its creator (a channel owns its outgoing queue).
#pragma once

#include <cstdint>
#include <istream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessil {

// Raised when the queue's first buffer cannot be allocated ("TDataQueue.Create").
class EOutOfMemory : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Raised when an internal size check fails ("Assertion failure ...").
class EAssertionFailed : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

class TDnDataQueue {
  public:
    TDnDataQueue(int32_t initialCapacity, int32_t increment);
    ~TDnDataQueue();
    TDnDataQueue(const TDnDataQueue&) = delete;
    TDnDataQueue& operator=(const TDnDataQueue&) = delete;

    int32_t Size() const { return size_; }
    void SetSize(int32_t newSize);
    int32_t Capacity() const { return capacity_; }
    const char* Memory() const { return data_; }
    char* Memory() { return data_; }

    // Rounds the new capacity up to a multiple of the growth step; never shrinks.
    void EnsureCapacity(int32_t newSize);
    void Append(const void* buf, int32_t size);
    void AppendString(std::string_view s);
    // Grows by size whatever the stream delivered (the caller passes what it holds).
    void AppendFromStream(std::istream& stream, int32_t size);
    // Takes up to size bytes from the head (into buf when given); returns how many.
    int32_t Extract(void* buf, int32_t size);
    int32_t Delete(int32_t size) { return Extract(nullptr, size); }
    void Clear() { Extract(nullptr, size_); }

    bool IsInteger() const { return size_ > 3; }
    bool IsInt64() const { return size_ > 7; }
    bool IsByte() const { return size_ > 0; }
    bool IsAnsiChar() const { return size_ > 0; }
    int32_t ReadInteger();
    uint32_t ReadCardinal();
    int64_t ReadInt64();
    uint16_t ReadWord();
    uint8_t ReadByte();
    char ReadAnsiChar();
    // The first blockSize bytes, removed; raises std::runtime_error("!!!") when fewer are
    // held, leaving the queue unchanged.
    std::string ReadBlock(int32_t blockSize);

    void Lock() { guard_.lock(); }
    void Unlock() { guard_.unlock(); }

  private:
    template <typename T>
    T ReadValue();

    int32_t size_ = 0;
    int32_t capacity_ = 0;
    int32_t increment_ = 0;
    char* data_ = nullptr;
    std::mutex guard_;
};

}  // namespace tessil
