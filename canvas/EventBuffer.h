#pragma once

#include "canvas/StampRect.h"

#include <deque>
#include <mutex>
#include <optional>
#include <vector>

// The queue between stroke input (main thread) and the mask drain (the
// canvas's serial queue): stamp rectangles and end-of-stroke markers, first in
// first out, guarded by the buffer's own mutex. The drain holds the lock only
// while it takes one entry, never while it draws.
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
    std::optional<StampRect> takeFirst();
    void clear();
    std::size_t size() const;
    std::vector<StampRect> entries() const;

private:
    mutable std::mutex m_mutex;
    std::deque<StampRect> m_entries;
};
