#include "canvas/EventBuffer.h"

void EventBuffer::append(const StampRect& rect)
{
    std::lock_guard lock(m_mutex);
    m_entries.push_back(rect);
}

std::optional<StampRect> EventBuffer::takeFirst(std::uint64_t before)
{
    std::lock_guard lock(m_mutex);
    if (m_entries.empty() || m_taken >= before)
        return std::nullopt;
    const StampRect first = m_entries.front();
    m_entries.pop_front();
    ++m_taken;
    return first;
}

void EventBuffer::clear()
{
    std::lock_guard lock(m_mutex);
    m_taken += m_entries.size();
    m_entries.clear();
}

std::uint64_t EventBuffer::appended() const
{
    std::lock_guard lock(m_mutex);
    return m_taken + m_entries.size();
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
