// Growable byte queue.
// Called by whichever thread owns or has locked the queue.
#include "iocpengine/DnDataQueue.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace tessil {

namespace {
[[noreturn]] void AssertionFailure(int line) {
    throw EAssertionFailed("Assertion failure (iocpengine/DnDataQueue, line " +
                           std::to_string(line) + ")");
}
}  // namespace

TDnDataQueue::TDnDataQueue(int32_t initialCapacity, int32_t increment) {
    if (initialCapacity < 0 || increment <= 0) throw std::invalid_argument("TDataQueue.Create");
    data_ = static_cast<char*>(std::malloc(initialCapacity > 0 ? initialCapacity : 1));
    if (!data_) throw EOutOfMemory("TDataQueue.Create");
    capacity_ = initialCapacity;
    increment_ = increment;
}

TDnDataQueue::~TDnDataQueue() {
    std::free(data_);
}

void TDnDataQueue::SetSize(int32_t newSize) {
    if (newSize < 0 || newSize > capacity_) AssertionFailure(75);
    size_ = newSize;
}

void TDnDataQueue::EnsureCapacity(int32_t newSize) {
    if (capacity_ >= newSize) return;
    int64_t rounded = (int64_t{newSize} + increment_ - 1) / increment_ * increment_;
    if (rounded < newSize || rounded > INT32_MAX) AssertionFailure(89);
    char* grown = static_cast<char*>(std::realloc(data_, static_cast<size_t>(rounded)));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    capacity_ = static_cast<int32_t>(rounded);
}

void TDnDataQueue::Append(const void* buf, int32_t size) {
    if (size <= 0) return;
    EnsureCapacity(size_ + size);
    std::memcpy(data_ + size_, buf, static_cast<size_t>(size));
    size_ += size;
}

void TDnDataQueue::AppendString(std::string_view s) {
    Append(s.data(), static_cast<int32_t>(s.size()));
}

void TDnDataQueue::AppendFromStream(std::istream& stream, int32_t size) {
    if (size <= 0) return;
    EnsureCapacity(size_ + size);
    stream.read(data_ + size_, size);
    size_ += size;
}

int32_t TDnDataQueue::Extract(void* buf, int32_t size) {
    if (size < 0) size = 0;
    const int32_t toCopy = size < size_ ? size : size_;
    if (buf && toCopy > 0) std::memcpy(buf, data_, static_cast<size_t>(toCopy));
    if (toCopy < size_) std::memmove(data_, data_ + toCopy, static_cast<size_t>(size_ - toCopy));
    size_ -= toCopy;
    return toCopy;
}

template <typename T>
T TDnDataQueue::ReadValue() {
    T value{};
    Extract(&value, sizeof(T));
    return value;
}

int32_t TDnDataQueue::ReadInteger() {
    return ReadValue<int32_t>();
}
uint32_t TDnDataQueue::ReadCardinal() {
    return ReadValue<uint32_t>();
}
int64_t TDnDataQueue::ReadInt64() {
    return ReadValue<int64_t>();
}
uint16_t TDnDataQueue::ReadWord() {
    return ReadValue<uint16_t>();
}
uint8_t TDnDataQueue::ReadByte() {
    return ReadValue<uint8_t>();
}
char TDnDataQueue::ReadAnsiChar() {
    return ReadValue<char>();
}

std::string TDnDataQueue::ReadBlock(int32_t blockSize) {
    if (blockSize > size_ || blockSize < 0) throw std::runtime_error("!!!");
    std::string out(data_, static_cast<size_t>(blockSize));
    Extract(nullptr, blockSize);
    return out;
}

}  // namespace tessil
