#include "tools/quillex-sim/command_line.h"

#include <CLI/CLI.hpp>

#include "sim/core/trace_sink.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <iostream>
#include <iterator>
#include <stdexcept>

namespace {

constexpr const char* kDescription =
    "Loads the Quillex driver in the simulated Windows, plugs a simulated arcade\n"
    "stick, shows the device the driver made for it, replays the stick's session\n"
    "and prints for every raw report its decoded state, the 20-byte Xbox 360\n"
    "report and what a game reads from it, then unplugs the stick.";

// An option that takes a value never takes an empty one: "--registry ''" is
// a slip of the shell, not a request for a file with no name.
const CLI::Validator kNotEmpty(
    [](std::string& value) { return value.empty() ? std::string("the value is empty") : ""; }, "",
    "not empty");

// 1 to kMaxSticks; anything else says what N may be and why.
const CLI::Validator kStickCount(
    [](std::string& value) {
        const std::string why = "N is 1 to " + std::to_string(kMaxSticks) +
                                ": every stick runs threads of its own and sixteen keep half a "
                                "core busy";
        if (value.empty()) {
            return "the value is empty; " + why;
        }
        size_t used = 0;
        long n = 0;
        try {
            n = std::stol(value, &used, 10);
        } catch (const std::exception&) {
            return "'" + value + "' is not a number; " + why;
        }
        if (used != value.size()) {
            return "'" + value + "' is not a number; " + why;
        }
        if (n < 1 || n > kMaxSticks) {
            return value + " sticks: " + why;
        }
        return std::string();
    },
    "", "stick count");

// --speed: a factor above 0 (2 plays twice as fast), or max.
const CLI::Validator kSpeed(
    [](std::string& value) {
        if (value == "max") {
            return std::string();
        }
        char* end = nullptr;
        double speed = strtod(value.c_str(), &end);
        return end != value.c_str() && *end == '\0' && speed > 0 && speed <= 1e6
                   ? std::string()
                   : "'" + value +
                         "' is not a speed: give a factor above 0 (2 plays twice as "
                         "fast) or max";
    },
    "", "speed");

// Options that cannot go together, and why: refused before anything runs.
// The second of each pair is the mode (--serve, --usbip, --expect, --live)
// or the session's source that the first cannot be used with; every other
// pair of options works together.
struct Exclusion {
    const char* option;
    const char* mode;
    const char* reason;
};
constexpr Exclusion kExclusions[] = {
    {"--usbip", "--serve", "one machine serves quillexctl or exports over USB/IP, not both"},
    {"--script", "--serve", "the server plays no session: quillexctl's requests drive it"},
    {"--record", "--serve", "the server plays no session to record"},
    {"--expect", "--serve", "the server plays no session to check"},
    {"--json", "--serve", "the server runs until stopped and says each report as it comes"},
    {"--live", "--serve", "the server's terminal shows the reports as they come"},
    {"--speed", "--serve", "the server answers requests as they come; it has no session to pace"},
    {"--script", "--usbip", "the export replays each stick's demo session for the remote host"},
    {"--record", "--usbip", "the reports go to the remote host; record them there"},
    {"--expect", "--usbip", "the export plays no recording; the remote host reads the reports"},
    {"--json", "--usbip", "the export runs until stopped and says what happens as it happens"},
    {"--live", "--usbip", "the remote host's driver reads the controller: watch it there"},
    {"--pcap", "--usbip", "the URBs come from the remote host: capture them there (usbmon)"},
    {"--speed", "--usbip", "the remote host polls the controller in real time"},
    {"--session", "--serve", "the server plays no session: quillexctl's requests drive it"},
    {"--session", "--usbip", "the export replays each stick's demo session for the remote host"},
    {"--script", "--session", "one session is played: a script or a built-in one"},
    {"--script", "--expect", "a recording replays its own input"},
    {"--session", "--expect", "a recording replays its own input"},
    {"--sticks", "--expect", "a recording replays the sticks it was made with"},
    {"--layout", "--expect", "a recording replays the stick models it was made with"},
    {"--json", "--live", "the live view takes the terminal; --json is for programs"},
    {"--speed", "--live", "the live view plays as the player sees it, in real time"},
    {"--script", "--keyboard", "the keyboard plays the stick instead of a session"},
    {"--expect", "--keyboard", "the keyboard plays the stick instead of the recording"},
    {"--session", "--keyboard", "the keyboard plays the stick instead of a session"},
};

void RefuseExclusions(const CLI::App& app) {
    for (const Exclusion& e : kExclusions) {
        if (app.count(e.option) > 0 && app.count(e.mode) > 0) {
            throw CLI::ValidationError(e.option, std::string("cannot be used with ") + e.mode +
                                                     ": " + e.reason);
        }
    }
}

constexpr const char* kExitCodes =
    "\nExit status:\n"
    "  0    the run ended as planned (--serve and --usbip: stopped by SIGINT or SIGTERM)\n"
    "  1    the run failed, or differed from the recording --expect names\n"
    "  2    the command line was refused; nothing ran\n"
    "  130  a session stopped by Ctrl-C (SIGINT), 143 by SIGTERM: the sticks were\n"
    "       unplugged, the recording and capture closed whole and a changed .reg\n"
    "       written back, as at a normal end\n";

// Errors name the option (CLI11 puts it first) and end with one hint line.
std::string FailureMessage(const CLI::App* app, const CLI::Error& e) {
    std::string message = app->get_name() + ": " + e.what() + "\n";
    message += "  hint: " + app->get_name() + " --help lists every option and what it takes\n";
    return message;
}

} // namespace

int ParseCommandLine(int argc, char** argv, Options* options) {
    CLI::App app(kDescription, "quillex-sim");
    app.set_version_flag("--version", std::string("quillex-sim ") + QUILLEX_SIM_VERSION,
                         "print the version and exit");
    app.failure_message(FailureMessage);
    app.get_formatter()->column_width(28);

    // The models' names and ids, from the stick's table.
    std::vector<std::string> layouts;
    std::string modelList;
    std::string inTurn;
    for (const sim::stick::Model& model : sim::stick::kModels) {
        std::string letter(1, static_cast<char>(tolower(model.letter)));
        bool first = layouts.empty();
        modelList += (first ? "" : ",\n") + letter + " is " + sim::stick::ModelTitle(model);
        char id[24];
        snprintf(id, sizeof(id), "PID_%04X (%c)", model.productId, model.letter);
        inTurn +=
            (first ? "stick 1 is " : ", stick " + std::to_string(layouts.size() + 1) + " ") + id;
        layouts.push_back(letter);
    }
    std::string layoutNames;
    for (const std::string& letter : layouts) {
        layoutNames += (layoutNames.empty() ? "" : "|") + letter;
    }
    layouts.push_back("both");
    app.add_option("--layout", options->layout,
                   "which stick model to plug: " + modelList + ", both plugs one of each")
        ->type_name(layoutNames + "|both")
        ->check(CLI::IsMember(layouts).name("").description(""))
        ->default_str("both");
    app.add_option("--sticks", options->sticks,
                   "plug N sticks together (1 to 16), each with its own\n"
                   "emulated controller and player light; with --layout both\n" +
                       inTurn +
                       ", and so on\n"
                       "in turn; with a or b all are of that model")
        ->type_name("N")
        ->check(kStickCount);
    app.add_option("--registry", options->registryFile,
                   "the machine's registry, in regedit's .reg format: read\n"
                   "before the run (created when missing), written back after\n"
                   "it when the run changed it")
        ->type_name("FILE.reg")
        ->check(kNotEmpty);
    app.add_flag("--print-mapping", options->printMapping,
                 "print the mapping as stored in the registry, by value\n"
                 "name, with what the driver makes of each value");
    app.add_flag("--save-mapping", options->saveMapping,
                 "write the loaded mapping into the registry, all 28\n"
                 "values, as the companion application's set-mapping does");

    app.add_option("--script", options->scriptFile,
                   "play this session script on every stick instead of the\n"
                   "built-in one; a line may speak to one stick (stick=2) or\n"
                   "send the application's requests (format: see the README)")
        ->type_name("FILE")
        ->check(kNotEmpty);
    app.add_option("--session", options->session,
                   "play a built-in session of the arcade settings instead:\n"
                   "triggers, lever-modes or turbo")
        ->type_name("NAME")
        ->check(CLI::IsMember({"triggers", "lever-modes", "turbo"}).name("").description(""));
    app.add_option("--record", options->recordFile,
                   "write every step to FILE as JSON lines: time, raw report,\n"
                   "Xbox report, what the class driver read, LED state")
        ->type_name("FILE")
        ->check(kNotEmpty);
    app.add_option("--expect", options->expectFile,
                   "replay a recording's input on the models (and the sticks)\n"
                   "it has and stop at the first step that differs from it\n"
                   "(exit code 1)")
        ->type_name("FILE")
        ->check(kNotEmpty);
    app.add_flag("--json", options->json,
                 "print the whole run as one JSON document on stdout\n"
                 "instead of lines for a person");
    CLI::Option* live = app.add_flag("--live", options->live,
                                     "show what a game sees, updated in place in the terminal,\n"
                                     "beside the stick's own state; several sticks are listed,\n"
                                     "Tab or a stick's number shows one in full; q quits");
    app.add_flag("--keyboard", options->keyboard,
                 "with --live: play the stick shown in full from the\n"
                 "keyboard (the keys are shown on screen) instead of the\n"
                 "session")
        ->needs(live);
    app.add_option("--pcap", options->pcapFile,
                   "write every URB the class driver sends the emulated\n"
                   "controller, and its completion, to FILE (pcap, USBPcap\n"
                   "link type; Wireshark and tshark read it)")
        ->type_name("FILE")
        ->check(kNotEmpty);
    CLI::Option* usbip = AddUsbipOptions(&app, &options->usbip);

    app.add_option("--serve", options->serveSocket,
                   "keep the machine running with its sticks plugged and\n"
                   "serve quillexctl --connect SOCKET until SIGINT or SIGTERM")
        ->type_name("SOCKET")
        ->check(kNotEmpty);

    std::string speed = "1";
    app.add_option("--speed", speed,
                   "play the sessions X times as fast (max: each step as soon\n"
                   "as the last is done); the driver's threads run on the\n"
                   "simulated clock, so every report, recording and --expect\n"
                   "result is the same at any speed")
        ->type_name("X|max")
        ->check(kSpeed);
    app.add_option("--trace", options->traceLevel,
                   "the driver's traces shown on stderr, each marked \"driver:\":\n"
                   "0 none, 1 errors and warnings ... 5 everything (default: 2,\n"
                   "or QUILLEX_TRACE_LEVEL); without it a message the driver\n"
                   "repeats (once per report, say) is shown three times and\n"
                   "counted at the end")
        ->type_name("LEVEL")
        ->check(CLI::Range(0, 5));
    app.footer(kExitCodes);

    try {
        app.parse(argc, argv);
        RefuseExclusions(app);
        options->usbip.enabled = usbip->count() > 0;
        options->speed = speed == "max" ? 0 : strtod(speed.c_str(), nullptr);
        std::string error;
        if (options->usbip.enabled && !CheckUsbipEndpoint(options->usbip, &error)) {
            throw CLI::ValidationError(error);
        }
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e, std::cout, std::cerr);
        return code == 0 ? 0 : kExitUsage;
    }
    return kRunGoesOn;
}

int ExitCodeAfterStop(int exitCode, int signal, const Options& options) {
    bool endsBySignal = options.usbip.enabled || !options.serveSocket.empty();
    if (exitCode != 0 || signal == 0 || endsBySignal) {
        return exitCode;
    }
    return 128 + signal;
}

namespace {

// The model --layout names by its letter; nullptr for "both".
const sim::stick::Model* ModelNamed(const std::string& layout) {
    return layout.size() == 1 ? sim::stick::ModelWithLetter(layout[0]) : nullptr;
}

} // namespace

std::vector<sim::stick::Layout> StickModels(const std::string& layout, int sticks) {
    using sim::stick::Layout;
    std::vector<Layout> models;
    if (sticks == 0) {
        for (const sim::stick::Model& model : sim::stick::kModels) {
            if (layout == "both" || ModelNamed(layout) == &model) {
                models.push_back(model.layout);
            }
        }
        return models;
    }
    const size_t count = std::size(sim::stick::kModels);
    const sim::stick::Model* chosen = ModelNamed(layout);
    for (int i = 0; i < sticks; ++i) {
        models.push_back(chosen != nullptr
                             ? chosen->layout
                             : sim::stick::kModels[static_cast<size_t>(i) % count].layout);
    }
    return models;
}

void ShowDriverTraces(const Options& options) {
    if (options.traceLevel >= 0) {
        sim::trace::SetConsoleLevel(static_cast<ULONG>(options.traceLevel));
    }
    // Asked for by level, every message shows; by default the ones the
    // driver emits for every push or report show three times, enough to
    // see that they happen, and are counted at the end.
    sim::trace::SetConsoleStyle("driver: ", options.traceLevel >= 0 ? 0 : 3);
}
