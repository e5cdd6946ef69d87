// quillexctl: the companion application on the command line. It reads and
// changes the state a stick's emulated controller reports and the stick's
// mapping, through the driver's control codes.
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "tools/quillexctl/arcade_commands.h"
#include "tools/common/control_names.h"
#include "tools/quillexctl/commands.h"
#include "tools/quillexctl/ui/ui_command.h"

namespace {

constexpr const char* kDescription =
    "Reads and changes an arcade stick's Quillex state and mapping through the driver.\n"
    "Items: BTN_A .. BTN_LEFT_TRIANGLE (0 or 1), RIGHT_STICK_Y, RIGHT_STICK_X, LEFT_STICK_X,\n"
    "LEFT_STICK_Y (0..255, 128 centred), DPAD (0..7 from up clockwise, 8 centred),\n"
    "FIRST_TRIGGER, SECOND_TRIGGER (0..255), LED (0..3), or their ids 1 to 21;\n"
    "the settings DPAD_MODE (0..2), TURBO_MASK (0..0x1FFF), TURBO_RATE (2..30),\n"
    "HOTKEYS (0..1) and INTERFACE_VERSION (read-only), ids 22 to 26.";

// A first word that is no command gets "did you mean", not CLI11's
// "A subcommand is required".
void RefuseUnknownCommand(const CLI::App& app, int argc, char** argv) {
    std::vector<std::string> commands;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        commands.push_back(command->get_name());
    }
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word.empty() || word[0] == '-') {
            // An option's value follows it unless given with '='.
            bool takesValue = (word == "--connect" || word == "--device" || word == "--stick");
            i += takesValue ? 1 : 0;
            continue;
        }
        for (const std::string& command : commands) {
            if (word == command) {
                return;
            }
        }
        std::string message = "'" + word + "' is not a command";
        std::string guess = ClosestName(word, commands);
        message += guess.empty() ? "" : "; did you mean '" + guess + "'?";
        throw CLI::ValidationError(message);
    }
}

std::string FailureMessage(const CLI::App* app, const CLI::Error& e) {
    return app->get_name() + ": " + e.what() + "\n  hint: " + app->get_name() +
           " --help lists the commands; COMMAND --help what each takes\n";
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app(kDescription, "quillexctl");
    app.failure_message(FailureMessage);
    app.require_subcommand(1);
    // The tool's own options may come after the command too:
    // `quillexctl mapping --json` is `quillexctl --json mapping`.
    app.fallthrough();
    app.set_version_flag("--version", std::string("quillexctl ") + QUILLEXCTL_VERSION,
                         "print the version and exit");

    std::string socketPath;
    unsigned device = 0;
    bool json = false;
#ifndef _WIN32
    if (const char* fromEnvironment = getenv("QUILLEX_SOCKET")) {
        socketPath = fromEnvironment;
    }
    app.add_option("--connect", socketPath,
                   "the socket of a running `quillex-sim --serve SOCKET`\n"
                   "(default: $QUILLEX_SOCKET)")
        ->type_name("SOCKET");
#endif
    unsigned stick = 0;
    CLI::Option* stickOption =
        app.add_option("--stick", stick, "which stick, 1 the first, as quillex-sim numbers them")
            ->type_name("N")
            ->check(CLI::Range(1u, 64u));
    app.add_option("--device", device,
                   "the same stick counted from 0, as older versions took it\n"
                   "(--device 0 is --stick 1)")
        ->type_name("N")
        ->excludes(stickOption);
    app.add_flag("--json", json, "print what is read as JSON");

    std::string item, value, file, svg;
    std::vector<std::string> assignments;
    CLI::App* state = app.add_subcommand("state", "the state block, field by field");
    CLI::App* get = app.add_subcommand("get", "one item of the state block");
    get->add_option("ITEM", item, "item name or id")->required();
    CLI::App* set =
        app.add_subcommand("set", "one item: the emulated controller reports it at once");
    set->add_option("ITEM", item, "item name or id")->required();
    set->add_option("VALUE", value, "decimal or 0x hex, within the item's range")->required();
    CLI::App* mapping = app.add_subcommand("mapping", "the mapping, by registry value name");
    CLI::App* mappingSet = mapping->add_subcommand(
        "set", "change values: BTN_HOME=guide SWAP_STICKS=1 L_STICK_X_CP_1=0x40");
    mappingSet->add_option("NAME=VALUE", assignments, "buttons take Xbox names or 0..11")
        ->required();
    CLI::App* defaults = mapping->add_subcommand("defaults", "restore and save the defaults");
    CLI::App* exportFile = mapping->add_subcommand("export", "write the mapping to a .reg file");
    exportFile->add_option("FILE.reg", file, "regedit can import it")->required();
    CLI::App* importFile = mapping->add_subcommand("import", "apply the mapping of a .reg file");
    importFile->add_option("FILE.reg", file, "as exported, or by regedit")->required();
    bool ignoreUnknown = false;
    importFile->add_flag("--ignore-unknown", ignoreUnknown,
                         "import the values it knows even when the file has\n"
                         "value names the driver does not read");
    std::string mode, rate, onOff;
    std::vector<std::string> turboButtons;
    CLI::App* modeCommand =
        app.add_subcommand("mode", "what the lever drives: dpad, left (stick) or right (stick)");
    modeCommand->add_option("MODE", mode, "dpad, left or right")->required();
    CLI::App* turbo = app.add_subcommand(
        "turbo", "the buttons that repeat while held (exactly these), or off; --rate N");
    turbo->add_option("BUTTON", turboButtons, "BTN_A .. BTN_LEFT_TRIANGLE (BTN_ optional), or off");
    turbo->add_option("--rate", rate, "presses a second, 2 to 30")->type_name("N");
    CLI::App* hotkeys = app.add_subcommand(
        "hotkeys", "on: BACK+HOME with the lever left, right or down switches the mode");
    hotkeys->add_option("ON|OFF", onOff, "on or off")->required();
    CLI::App* curves = app.add_subcommand("curves", "the six calibration curves");
    curves->add_option("--svg", svg, "plot them to FILE.svg")->type_name("FILE.svg");
    UiOptions uiOptions;
    CLI::App* ui = AddUiCommand(app, &uiOptions);

    try {
        RefuseUnknownCommand(app, argc, argv);
        app.parse(argc, argv);
        if (stick != 0) {
            device = stick - 1;
        }
        if (curves->parsed() && svg.empty() && !json) {
            throw CLI::RequiredError("curves needs --svg FILE.svg or --json");
        }
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e, std::cout, std::cerr);
        return code == 0 ? 0 : 2;
    }

    if (ui->parsed()) {
        return RunUi(uiOptions, socketPath);
    }

    std::string error;
    std::unique_ptr<DeviceLink> link;
#ifdef _WIN32
    link = OpenLocalDevice(device, &error);
#else
    if (socketPath.empty()) {
        fprintf(stderr, "quillexctl: no machine to talk to: give --connect SOCKET (a running\n"
                        "  `quillex-sim --serve SOCKET`) or set QUILLEX_SOCKET\n");
        return 2;
    }
    link = ConnectToServer(socketPath, device, &error);
#endif
    if (link == nullptr) {
        fprintf(stderr, "quillexctl: %s\n", error.c_str());
        return 1;
    }

    CommandContext c{link.get(), json};
    if (state->parsed()) {
        return ShowState(c);
    }
    if (get->parsed()) {
        return GetItem(c, item);
    }
    if (set->parsed()) {
        return SetItem(c, item, value);
    }
    if (curves->parsed()) {
        return PlotCurves(c, svg);
    }
    if (modeCommand->parsed()) {
        return SetDpadMode(c, mode);
    }
    if (turbo->parsed()) {
        return SetTurbo(c, turboButtons, rate);
    }
    if (hotkeys->parsed()) {
        return SetHotkeys(c, onOff);
    }
    if (mappingSet->parsed()) {
        return SetMapping(c, assignments);
    }
    if (defaults->parsed()) {
        return RestoreDefaultMapping(c);
    }
    if (exportFile->parsed()) {
        return ExportMapping(c, file);
    }
    if (importFile->parsed()) {
        return ImportMapping(c, file, ignoreUnknown);
    }
    return ShowMapping(c);
}
