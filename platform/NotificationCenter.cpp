#include "platform/NotificationCenter.h"

#include <vector>

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString& name, Handler handler)
{
    std::lock_guard lock(m_mutex);
    const Token token = m_next++;
    m_observers.emplace(token, Entry{name, std::move(handler)});
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::lock_guard lock(m_mutex);
    m_observers.erase(token);
}

void NotificationCenter::post(const QString& name, const void* sender)
{
    // Handlers run without the lock so that they may add or remove observers.
    std::vector<Handler> handlers;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [token, entry] : m_observers)
            if (entry.name == name)
                handlers.push_back(entry.handler);
    }
    for (const auto& handler : handlers)
        handler(sender);
}
