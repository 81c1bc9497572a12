#pragma once

#include "canvas/StampRect.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

// The queue between stroke input (main thread) and the mask drain (the
// canvas's serial queue): stamp rectangles and end-of-stroke markers, first in
// first out, guarded by the buffer's own mutex. The drain holds the lock only
// while it takes one entry, never while it draws.
//
// Entries are numbered in the order they were appended, from the buffer's
// start (cleared ones count too), so that a drain can be bounded: stamps
// input after an undo, a redo or a reset was queued wait until it has run,
// and fall after it in the mask as they did at the keyboard (MaskDocument).
class EventBuffer {
public:
    // Holds the lock for as long as it lives, so that everything one input
    // event appends (fillers, the new stamp) goes in together.
    class Appender {
    public:
        explicit Appender(EventBuffer& buffer) : m_lock(buffer.m_mutex), m_buffer(buffer) {}
        void append(const StampRect& rect) { m_buffer.m_entries.push_back(rect); }

    private:
        std::lock_guard<std::mutex> m_lock;
        EventBuffer& m_buffer;
    };

    void append(const StampRect& rect);
    // The first entry, if its number is below `before`.
    std::optional<StampRect> takeFirst(std::uint64_t before = UINT64_MAX);
    void clear();
    // The number the next entry appended gets.
    std::uint64_t appended() const;
    std::size_t size() const;
    std::vector<StampRect> entries() const;

private:
    mutable std::mutex m_mutex;
    std::deque<StampRect> m_entries;
    std::uint64_t m_taken = 0; // entries taken or cleared so far
};
