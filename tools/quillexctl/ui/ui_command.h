// quillexctl ui: the configurator page, served on this machine until Ctrl-C.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

struct UiOptions {
    int port = 0; // 0: a free port
    bool noBrowser = false;
    bool listenAny = false;
};

// Adds the "ui" command and its options to quillexctl's command line.
CLI::App* AddUiCommand(CLI::App& app, UiOptions* options);

// Serves the page; returns quillexctl's exit code. socketPath is how this
// quillexctl reaches the driver here (empty on Windows, where it opens the
// sticks' device interfaces itself).
int RunUi(const UiOptions& options, const std::string& socketPath);
