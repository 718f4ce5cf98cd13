#include "CircularBuffer.h"

#include <algorithm>
#include <cstring>

CircularBuffer::CircularBuffer(int elementSize, short capacity)
    : fElementSize(std::max(elementSize, 0)),
      fBufferBytes(std::size_t(fElementSize) * (std::size_t(std::max<int>(capacity, 0)) + 1)),
      fBuffer(new uint8_t[fBufferBytes]), fBufferEnd(fBuffer.get() + fBufferBytes)
{
    fReadPosition.exchange(fBuffer.get());
    fWritePosition.exchange(fBuffer.get());
}

uint8_t* CircularBuffer::advance(uint8_t* position) const
{
    position += fElementSize;
    return position == fBufferEnd ? fBuffer.get() : position;
}

bool CircularBuffer::push(const void* element)
{
    uint8_t* const write = fWritePosition.load(std::memory_order_relaxed);
    uint8_t* const next = advance(write);
    if (next == fReadPosition.load(std::memory_order_acquire)) {
        return false;
    }
    std::memcpy(write, element, std::size_t(fElementSize));
    fWritePosition.exchange(next, std::memory_order_acq_rel);
    return true;
}

bool CircularBuffer::pop(void* element)
{
    uint8_t* const read = fReadPosition.load(std::memory_order_relaxed);
    if (read == fWritePosition.load(std::memory_order_acquire)) {
        return false;
    }
    std::memcpy(element, read, std::size_t(fElementSize));
    fReadPosition.exchange(advance(read), std::memory_order_acq_rel);
    return true;
}

void CircularBuffer::reset()
{
    fReadPosition.exchange(fWritePosition.load(std::memory_order_acquire), std::memory_order_acq_rel);
}

std::unique_ptr<CircularBuffer> CircularBuffer::CopyAndResize(int newCapacity)
{
    const short capacity = short(std::clamp(newCapacity, 0, 32766));
    auto resized = std::make_unique<CircularBuffer>(fElementSize, capacity);
    uint8_t* read = fReadPosition.load(std::memory_order_relaxed);
    uint8_t* const end = fWritePosition.load(std::memory_order_acquire);
    uint8_t* resizedWrite = resized->fWritePosition.load(std::memory_order_relaxed);
    uint8_t* const resizedRead = resized->fReadPosition.load(std::memory_order_relaxed);
    // The new ring's fullness is tested before this ring's element is taken, so an element that
    // does not fit stays unread here.
    while (read != end && resized->advance(resizedWrite) != resizedRead) {
        std::memcpy(resizedWrite, read, std::size_t(fElementSize));
        resizedWrite = resized->advance(resizedWrite);
        read = advance(read);
    }
    resized->fWritePosition.exchange(resizedWrite, std::memory_order_acq_rel);
    fReadPosition.exchange(read, std::memory_order_acq_rel);
    return resized;
}
