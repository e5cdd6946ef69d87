// quillexctl.exe's `ui` command while the Windows build has no web server:
// the page is served by cpp-httplib, and Debian's package of it carries only
// its declarations (the code is in a Linux shared library), so nothing here
// can build the server for Windows. The command stays, and says so, rather
// than vanishing into "'ui' is not a command".
#include <stdio.h>

#include "tools/quillexctl/ui/ui_command.h"

CLI::App* AddUiCommand(CLI::App& app, UiOptions* options) {
    CLI::App* ui = app.add_subcommand("ui", "the configurator page: not in this Windows build yet");
    // Its options are taken, so the message below answers them too.
    ui->add_option("--port", options->port)->type_name("N");
    ui->add_flag("--no-browser", options->noBrowser);
    ui->add_flag("--listen-any", options->listenAny);
    return ui;
}

int RunUi(const UiOptions&, const std::string&) {
    fprintf(stderr, "quillexctl ui: this Windows build of quillexctl has no configurator page\n"
                    "  yet; every other command works. The page runs with quillexctl on Linux.\n");
    return 2;
}
