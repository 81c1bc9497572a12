#include "canvas/EventBuffer.h"

void EventBuffer::append(const StampRect& rect)
{
    std::lock_guard lock(m_mutex);
    m_entries.push_back(rect);
}

std::optional<StampRect> EventBuffer::takeFirst()
{
    std::lock_guard lock(m_mutex);
    if (m_entries.empty())
        return std::nullopt;
    const StampRect first = m_entries.front();
    m_entries.pop_front();
    return first;
}

void EventBuffer::clear()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

std::size_t EventBuffer::size() const
{
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

std::vector<StampRect> EventBuffer::entries() const
{
    std::lock_guard lock(m_mutex);
    return {m_entries.begin(), m_entries.end()};
}
