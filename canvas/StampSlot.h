#pragma once

#include "canvas/BrushStamp.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

// The brush stamp in use, replaced in one step. Builds may overlap (a hardness
// change on the main thread, a mask rebuild on the serial queue) and finish in
// either order, so each takes a ticket after writing the settings it changed
// and before reading them; a finished stamp goes in only if no build holding
// a later ticket has put its own in already. The newest settings win.
class StampSlot {
public:
    std::uint64_t ticket() { return ++m_tickets; }

    // Returns whether `stamp` went in.
    bool install(std::uint64_t ticket, std::shared_ptr<const BrushStamp> stamp)
    {
        std::shared_ptr<const BrushStamp> old; // released outside the lock
        std::lock_guard lock(m_mutex);
        if (ticket < m_installed)
            return false;
        m_installed = ticket;
        old = std::exchange(m_stamp, std::move(stamp));
        return true;
    }

    std::shared_ptr<const BrushStamp> current() const
    {
        std::lock_guard lock(m_mutex);
        return m_stamp;
    }

private:
    std::atomic<std::uint64_t> m_tickets{0};
    mutable std::mutex m_mutex;
    std::uint64_t m_installed = 0;
    std::shared_ptr<const BrushStamp> m_stamp;
};
