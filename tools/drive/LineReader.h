#pragma once

#include <QObject>
#include <QString>

#include <cstdio>
#include <functional>
#include <memory>

// Reads a script line by line on a thread of its own and hands each line to
// the main thread as soon as it arrives, so that the main event loop keeps
// running (and a window keeps taking real input) while the script waits for
// its next line.
//
// Lines reach the handler in order and never re-entrantly: a handler that
// pumps the event loop itself (to wait for the canvas) does not see the next
// line before it returns.
class LineReader {
public:
    // `handler` returns false to stop reading; `finished` runs once at the end
    // of the input (not after a stop).
    LineReader(std::FILE* input, std::function<bool(const QString&)> handler,
               std::function<void()> finished);
    // Does not wait for the reading thread, which may be blocked on a pipe
    // that stays open: it is detached and hands nothing over any more.
    ~LineReader();

    void start();

private:
    struct Shared;
    void pump();

    QObject m_context; // queued hand-overs die with the reader
    std::shared_ptr<Shared> m_shared;
    std::function<bool(const QString&)> m_handler;
    std::function<void()> m_finished;
    bool m_running = false;
    bool m_stopped = false;
};
