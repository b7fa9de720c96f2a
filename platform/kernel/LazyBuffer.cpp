#include "platform/kernel/LazyBuffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace platform::kernel {

LazyBuffer::~LazyBuffer() {
    if (data_ != nullptr) {
        munmap(data_, size_);
    }
}

bool LazyBuffer::Allocate(std::size_t size, std::uint8_t fill) {
    if (data_ != nullptr || size == 0) {
        return false;
    }
    // No reserve: the configured size is an upper bound that a run rarely approaches.
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        return false;
    }
    data_ = static_cast<std::uint8_t*>(p);
    size_ = size;
    fill_ = fill;
    filled_.assign((size + kChunk - 1) / kChunk, false);
    return true;
}

std::span<std::uint8_t> LazyBuffer::Window(std::size_t offset, std::size_t size) {
    if (data_ == nullptr || offset > size_ || size > size_ - offset) {
        return {};
    }
    if (size == 0) {
        return {data_ + offset, 0};
    }
    std::lock_guard lock(mutex_);
    for (std::size_t chunk = offset / kChunk; chunk <= (offset + size - 1) / kChunk; ++chunk) {
        if (filled_[chunk]) {
            continue;
        }
        const std::size_t begin = chunk * kChunk;
        const std::size_t length = std::min(kChunk, size_ - begin);
        std::memset(data_ + begin, fill_, length);
        filled_[chunk] = true;
        filledBytes_ += length;
    }
    return {data_ + offset, size};
}

std::size_t LazyBuffer::FilledBytes() const {
    std::lock_guard lock(mutex_);
    return filledBytes_;
}

}  // namespace platform::kernel
