#include "LineReader.h"

#include <QMetaObject>

#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

struct LineReader::Shared {
    std::mutex mutex;
    std::deque<QString> lines;
    bool atEnd = false;
    bool closed = false; // the main side is gone: post nothing more
    std::FILE* input = nullptr;
    std::function<void()> wake; // called under the mutex
};

LineReader::LineReader(std::FILE* input, std::function<bool(const QString&)> handler,
                       std::function<void()> finished)
    : m_shared(std::make_shared<Shared>()), m_handler(std::move(handler)),
      m_finished(std::move(finished))
{
    m_shared->input = input;
    m_shared->wake = [this] {
        QMetaObject::invokeMethod(&m_context, [this] { pump(); },
                                  Qt::QueuedConnection);
    };
}

LineReader::~LineReader()
{
    std::lock_guard lock(m_shared->mutex);
    m_shared->closed = true;
}

void LineReader::start()
{
    std::thread([shared = m_shared] {
        char* buffer = nullptr;
        size_t capacity = 0;
        for (;;) {
            const bool got = getline(&buffer, &capacity, shared->input) >= 0;
            std::lock_guard lock(shared->mutex);
            if (shared->closed)
                break;
            if (got)
                shared->lines.push_back(QString::fromUtf8(buffer));
            else
                shared->atEnd = true;
            shared->wake();
            if (!got)
                break;
        }
        std::free(buffer);
    }).detach();
}

void LineReader::pump()
{
    if (m_running || m_stopped)
        return; // the line in progress picks up what arrived when it is done
    m_running = true;
    for (;;) {
        QString line;
        bool end = false;
        {
            std::lock_guard lock(m_shared->mutex);
            if (!m_shared->lines.empty()) {
                line = m_shared->lines.front();
                m_shared->lines.pop_front();
            } else {
                end = m_shared->atEnd;
                if (!end)
                    break;
            }
        }
        if (end) {
            m_stopped = true;
            m_finished();
            break;
        }
        if (!m_handler(line)) {
            m_stopped = true;
            break;
        }
    }
    m_running = false;
}
