// The configurator's web server: the embedded page, its live event stream,
// and the mapping read, changed, restored, exported and imported through the
// driver's control codes. Every request passes the guard of
// request_guard.h first, and every value is checked here before the driver
// (which checks again) sees it.
#pragma once

#include <memory>
#include <string>

#include "tools/quillexctl/ui/live_feed.h"
#include "tools/quillexctl/ui/request_guard.h"
#include "tools/quillexctl/ui/stick_pool.h"

// The largest request body taken (a .reg file of the mapping is about 2 KB).
inline constexpr size_t kMaxUiBodyBytes = 64 * 1024;

class UiServer {
  public:
    UiServer(StickPool& pool, LiveFeed& feed, std::string token, bool listenAny);
    ~UiServer();

    // Binds to 127.0.0.1 (0.0.0.0 with listenAny) on `port`, or on a free
    // port for 0. The port bound, or -1 with *error.
    int Bind(int port, std::string* error);
    // Serves until Stop(); false if serving failed.
    bool Run();
    void Stop();

    const GuardConfig& Guard() const { return guard_; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    GuardConfig guard_;
};
