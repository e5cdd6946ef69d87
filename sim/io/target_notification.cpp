// Target device notifications for the holders of open files on a stack.
#include "sim/io/target_notification.h"

#include <condition_variable>
#include <list>
#include <mutex>

namespace sim::io {
namespace {

struct Listener {
    PDEVICE_OBJECT pdo;
    TargetListener callback;
    unsigned running = 0;
    bool removed = false;
};

std::mutex g_lock;
std::condition_variable g_idle;
std::list<Listener> g_listeners;

} // namespace

void* RegisterTargetListener(PDEVICE_OBJECT pdo, TargetListener listener) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_listeners.push_back(Listener{pdo, std::move(listener)});
    return &g_listeners.back();
}

void UnregisterTargetListener(void* token) {
    std::unique_lock<std::mutex> guard(g_lock);
    for (auto it = g_listeners.begin(); it != g_listeners.end(); ++it) {
        if (&*it == token) {
            it->removed = true;
            // A listener may unregister itself from its own callback.
            g_idle.wait(guard, [&] { return it->running <= 1; });
            if (it->running == 0) {
                g_listeners.erase(it);
            }
            return;
        }
    }
}

void NotifyTargetListeners(PDEVICE_OBJECT pdo, TargetEvent event) {
    std::unique_lock<std::mutex> guard(g_lock);
    for (auto it = g_listeners.begin(); it != g_listeners.end();) {
        if (it->pdo != pdo || it->removed) {
            ++it;
            continue;
        }
        ++it->running;
        TargetListener callback = it->callback;
        guard.unlock();
        callback(event);
        guard.lock();
        --it->running;
        g_idle.notify_all();
        if (it->removed && it->running == 0) {
            it = g_listeners.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace sim::io
