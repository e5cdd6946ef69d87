#include "tools/quillexctl/ui/ui_command.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "tools/quillexctl/ui/live_feed.h"
#include "tools/quillexctl/ui/request_guard.h"
#include "tools/quillexctl/ui/stick_pool.h"
#include "tools/quillexctl/ui/ui_server.h"

namespace {

std::atomic<bool> g_stopUi{false};

#ifdef _WIN32
// Ctrl-C, Ctrl-Break and the console window closing.
BOOL WINAPI OnConsoleEvent(DWORD) {
    g_stopUi = true;
    return TRUE;
}
#else
void OnStopSignal(int) {
    g_stopUi = true;
}
#endif

// Opens the page in the desktop's browser, when there is a desktop: a
// failure only means the player opens the printed address by hand.
void OpenBrowser(const std::string& url) {
#ifdef _WIN32
    // The desktop's default browser; an address it cannot open is only
    // reported by the shell as a small number.
    HINSTANCE opened = ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    (void)opened;
#else
    if (getenv("DISPLAY") == nullptr && getenv("WAYLAND_DISPLAY") == nullptr) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ) == 0) {
        // Reaped in the background so it leaves no zombie behind.
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    }
    posix_spawn_file_actions_destroy(&actions);
#endif
}

} // namespace

CLI::App* AddUiCommand(CLI::App& app, UiOptions* options) {
    CLI::App* ui = app.add_subcommand(
        "ui", "the configurator: a page in the browser that shows the stick live and edits\n"
              "its mapping and curves (serves on 127.0.0.1 until Ctrl-C)");
    ui->add_option("--port", options->port, "port to serve on (default: a free one)")
        ->check(CLI::Range(0, 65535))
        ->type_name("N");
    ui->add_flag("--no-browser", options->noBrowser, "print the address; do not open a browser");
    ui->add_flag("--listen-any", options->listenAny,
                 "serve on every network interface, not only this machine's own\n"
                 "(anyone who learns the printed address can change the stick: see docs/ui.md)");
    return ui;
}

int RunUi(const UiOptions& options, const std::string& socketPath) {
    std::string token = NewToken();
    if (token.empty()) {
        fprintf(stderr, "quillexctl ui: the system's random source cannot be read\n");
        return 1;
    }
#ifdef _WIN32
    LinkOpener opener = [](unsigned index, std::string* error) {
        return OpenLocalDevice(index, error);
    };
    LinkLister lister = ListLocalDevices;
    std::string hint =
        "Check that the stick is plugged in and that the Quillex driver is installed.";
#else
    LinkOpener opener = [socketPath](unsigned index, std::string* error) {
        if (socketPath.empty()) {
            *error = "quillexctl ui was started without --connect";
            return std::unique_ptr<DeviceLink>();
        }
        return ConnectToServer(socketPath, index, error);
    };
    LinkLister lister = [socketPath](std::vector<std::string>* interfaces, std::string* error) {
        return !socketPath.empty() && ListServerSticks(socketPath, interfaces, error);
    };
    std::string hint = socketPath.empty()
                           ? "Start quillex-sim --serve SOCKET and run quillexctl --connect SOCKET "
                             "ui."
                           : "Check that quillex-sim --serve " + socketPath +
                                 " is running, with its sticks plugged.";
#endif
    StickPool pool(opener, lister);
    pool.Rescan(nullptr);
    LiveFeed feed(pool, hint);
    UiServer server(pool, feed, token, options.listenAny);
    std::string error;
    int port = server.Bind(options.port, &error);
    if (port < 0) {
        fprintf(stderr, "quillexctl ui: %s\n", error.c_str());
        return 1;
    }

#ifndef _WIN32
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#else
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#endif

    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/?token=" + token;
    printf("quillexctl ui: the configurator is at\n  %s\n", url.c_str());
    if (options.listenAny) {
        printf("  --listen-any: serving on every interface; from another machine use this\n"
               "  machine's IP address in place of 127.0.0.1. Anyone with the address can\n"
               "  change the stick.\n");
    }
    printf("Ctrl-C stops it.\n");
    fflush(stdout);
    if (!options.noBrowser) {
        OpenBrowser(url);
    }

    feed.Start();
    std::thread watcher([&] {
        while (!g_stopUi) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        feed.Stop(); // wakes the pages' event streams, so they end
        server.Stop();
    });
    bool served = server.Run();
    g_stopUi = true;
    watcher.join();
    printf("quillexctl ui: stopped\n");
    return served ? 0 : 1;
}
