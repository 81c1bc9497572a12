#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

// A process-wide notification centre: observers register a handler for a
// notification name; posting a name calls every handler registered for it,
// synchronously, on the posting thread.
class NotificationCenter {
public:
    using Handler = std::function<void(const void* sender)>;
    using Token = std::uint64_t;

    static NotificationCenter& defaultCenter();

    Token addObserver(const QString& name, Handler handler);
    void removeObserver(Token token);
    void post(const QString& name, const void* sender = nullptr);

private:
    struct Entry {
        QString name;
        Handler handler;
    };
    std::mutex m_mutex;
    std::map<Token, Entry> m_observers;
    Token m_next = 1;
};
