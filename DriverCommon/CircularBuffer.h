#pragma once

// A fixed-capacity ring of equal-sized elements between one writer and one reader. One slot always
// stays empty: equal positions mean empty, and the write position one slot behind the read position
// means full, so each side decides from the other's position alone.

#include <atomic>
#include <cstdint>
#include <memory>

class CircularBuffer
{
public:
    // Capacity is at most 32766 elements; a negative size or capacity counts as 0.
    CircularBuffer(int elementSize, short capacity);
    virtual ~CircularBuffer() = default;
    CircularBuffer(const CircularBuffer&) = delete;
    CircularBuffer& operator=(const CircularBuffer&) = delete;

    // Writer: copies one element in; refused when the ring is full.
    bool push(const void* element);
    // Reader: copies the oldest element out; refused when the ring is empty.
    bool pop(void* element);
    // Reader: drops every unread element.
    void reset();

    // A ring of another capacity holding this one's unread elements, oldest first, as many as fit.
    // Those that do not fit stay unread here. Acts as this ring's reader.
    std::unique_ptr<CircularBuffer> CopyAndResize(int newCapacity);

private:
    uint8_t* advance(uint8_t* position) const;

    std::atomic<uint8_t*> fReadPosition;
    std::atomic<uint8_t*> fWritePosition;
    int fElementSize;
    std::size_t fBufferBytes;
    std::unique_ptr<uint8_t[]> fBuffer;
    uint8_t* fBufferEnd;
};
