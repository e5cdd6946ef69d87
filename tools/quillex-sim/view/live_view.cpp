#include "tools/quillex-sim/view/live_view.h"

#include <curses.h>

#include <string.h>

#include <algorithm>
#include <chrono>
#include <list>

#include "tools/common/control_names.h"
#include "tools/common/mapping_names.h"
#include "tools/common/text_format.h"

namespace {

using Clock = std::chrono::steady_clock;

// The keys that play the thirteen canonical buttons, in button order; each
// press holds the button, the next releases it (a terminal tells no key
// releases).
constexpr char kButtonKeys[13] = {'j', 'k', 'u', 'i', 'o', 'l', 'b', 'n', 'z', 'x', 'p', 'h', 'm'};
// The sticks move a step a press (four from the centre to an edge), with
// Shift and the hat's and the buttons' home keys: W A S D the left stick,
// I J K L the right one. The triggers are pulled a quarter more a press, and
// let go after a full pull.
constexpr int kStickStep = 32;
constexpr int kTriggerStep = 64;

// The screen sizes the view needs: the full layout draws both sticks in
// boxes and the reports in hex; the compact one is lines of text; below it
// the view asks for a bigger window.
constexpr int kFullWidth = 80;
constexpr int kCompactWidth = 40;
constexpr int kFullRows = 27;    // below the list of sticks
constexpr int kCompactRows = 10; // above the key help

struct Hat {
    bool up = false, down = false, left = false, right = false;
    uint8_t Value() const {
        if (up) {
            return right ? 1 : left ? 7 : 0;
        }
        if (down) {
            return right ? 3 : left ? 5 : 4;
        }
        return right ? 2 : left ? 6 : 8;
    }
};

const char* HatName(unsigned hat) {
    static const char* const kNames[] = {"up",   "up-right",  "right", "down-right",
                                         "down", "down-left", "left",  "up-left"};
    return hat < 8 ? kNames[hat] : "centre";
}

// Text at (row, col), cut at the screen's right edge rather than wrapped
// onto the next row.
void Text(int row, int col, const std::string& text) {
    if (row >= 0 && row < LINES && col < COLS) {
        mvaddnstr(row, col, text.c_str(), COLS - col);
    }
}

// Pieces of text laid on lines of at most 'width' columns, in order, two
// spaces between pieces. A piece that fits on no line of its own is broken
// between words; the piece after a kNewLine starts a line.
constexpr const char* kNewLine = "\n";
std::vector<std::string> Wrap(const std::vector<std::string>& pieces, int width) {
    const size_t w = static_cast<size_t>(std::max(width, 1));
    std::vector<std::string> lines;
    bool fresh = true; // the next piece starts a line
    auto add = [&](const std::string& text, const char* gap) {
        if (!fresh && lines.back().size() + strlen(gap) + text.size() <= w) {
            lines.back() += gap + text;
        } else {
            lines.push_back(text.substr(0, w));
        }
        fresh = false;
    };
    for (const std::string& piece : pieces) {
        if (piece == kNewLine) {
            fresh = true;
        } else if (piece.size() <= w) {
            add(piece, "  ");
        } else {
            const char* gap = "  ";
            for (size_t at = 0; at < piece.size();) {
                size_t space = piece.find(' ', at);
                size_t end = space == std::string::npos ? piece.size() : space;
                if (end > at) {
                    add(piece.substr(at, end - at), gap);
                    gap = " ";
                }
                at = end + 1;
            }
        }
    }
    return lines;
}

// "[A]" when lit, " A " when not: readable with or without colour.
void Lamp(int row, int col, const char* name, bool lit) {
    if (lit) {
        attron(A_REVERSE | A_BOLD);
    }
    mvprintw(row, col, lit ? "[%s]" : " %s ", name);
    if (lit) {
        attroff(A_REVERSE | A_BOLD);
    }
}

void StickBox(int row, int col, const char* name, int x, int y) {
    mvprintw(row, col, "%s (%6d, %6d)", name, x, y);
    mvprintw(row + 1, col, "+-----------+");
    for (int r = 0; r < 5; ++r) {
        mvprintw(row + 2 + r, col, "|           |");
    }
    mvprintw(row + 7, col, "+-----------+");
    // Rounded to the nearest cell, so a centred stick sits in the middle.
    int c = ((x + 32768) * 10 + 32767) / 65535;
    int r = ((32767 - y) * 4 + 32767) / 65535;
    mvaddch(row + 2 + r, col + 1 + c, 'o');
}

std::string Bar(const char* name, unsigned value, unsigned length) {
    std::string bar;
    unsigned filled = value * length / 255;
    for (unsigned i = 0; i < length; ++i) {
        bar += i < filled ? '#' : '.';
    }
    return Format("%s [%s] %3u", name, bar.c_str(), value);
}

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < count; ++i) {
        snprintf(b, sizeof(b), i ? " %02X" : "%02X", bytes[i]);
        out += b;
    }
    return out;
}

std::string LedWords(unsigned led) {
    return "LED state " + std::to_string(led) + " (" +
           (led >= 2 && led <= 5 ? "player " + std::to_string(led - 1) : "no player light") + ")";
}

// What the view keeps of each stick.
struct Shown {
    StepResult last;
    bool haveLast = false;
    size_t played = 0;
    size_t next = 0; // its next session step
    sim::stick::StickState keys;
    Hat hat;
    std::list<SessionStep> typed; // the keyboard's steps, alive while results point at them
};

// One line a stick, the picked one marked, when there are several.
int DrawList(const std::vector<LiveStick>& sticks, const std::vector<Shown>& shown, size_t picked) {
    Text(1, 0, Format("%zu sticks; Tab or a stick's number shows it in full:", sticks.size()));
    for (size_t i = 0; i < sticks.size(); ++i) {
        const Shown& s = shown[i];
        std::string what = s.haveLast
                               ? LedWords(s.last.led) + "  " + sim::xbox::Describe(s.last.gamepad)
                               : "waiting for the first step";
        Text(2 + static_cast<int>(i), 0,
             Format("%s %-40s %s", i == picked ? ">" : " ", sticks[i].title.c_str(), what.c_str()));
    }
    return static_cast<int>(sticks.size()) + 3;
}

// "lever: left stick  turbo: BTN_A BTN_B at 15/s  combination on".
std::string ArcadeWords(PDEVICE_CONTEXT ctx) {
    KIRQL irql;
    KeAcquireSpinLock(&ctx->StateLock, &irql);
    const ARCADE_STATE arcade = ctx->Arcade;
    KeReleaseSpinLock(&ctx->StateLock, irql);
    static const char* const kModes[] = {"d-pad", "left stick", "right stick"};
    std::string turbo;
    for (const std::string& name : TurboButtonNames(arcade.TurboMask)) {
        turbo += (turbo.empty() ? "" : " ") + name;
    }
    return std::string("lever: ") + (arcade.DpadMode < 3 ? kModes[arcade.DpadMode] : "?") +
           "  turbo: " +
           (turbo.empty() ? "none" : turbo + " at " + std::to_string(arcade.TurboRate) + "/s") +
           "  combination " + (arcade.HotkeysEnabled ? "on" : "off");
}

// The key help, in pieces that Wrap lays on the bottom lines: always shown,
// whatever the size of the screen.
std::vector<std::string> KeyHelp(const LiveViewOptions& options,
                                 const std::vector<LiveStick>& sticks, size_t picked) {
    std::vector<std::string> pieces;
    if (options.keyboard) {
        pieces.push_back("Keys: arrows or WASD the hat (again: back to centre);");
        pieces.push_back("Shift+W A S D the left stick, Shift+I J K L the right (a step a press);");
        pieces.push_back("[ and ] the triggers (a quarter a press, let go after a full pull);");
        pieces.push_back("space releases all.");
        pieces.push_back(kNewLine);
        pieces.push_back("Buttons:");
        for (unsigned i = 0; i < 13; ++i) {
            // Named by what the game sees: the Xbox button the mapping gives.
            pieces.push_back(std::string(1, kButtonKeys[i]) + " " +
                             XboxButtonName(sticks[picked].player->ctx->RemapRecord.ButtonMap[i]));
        }
    }
    pieces.push_back(kNewLine);
    if (sticks.size() > 1) {
        pieces.push_back("Tab or 1-" + std::to_string(std::min<size_t>(sticks.size(), 9)) +
                         " picks a stick;");
    }
    pieces.push_back(sticks.size() > 1 ? "q quits and unplugs the sticks"
                                       : "q quits and unplugs the stick");
    return pieces;
}

// What is shown of the picked stick below its title, as lines of text: the
// compact layout, for a narrow or short window.
void DrawCompact(const std::vector<LiveStick>& sticks, const Shown& s, size_t picked, int top) {
    const StepResult& last = s.last;
    const sim::xbox::Gamepad& pad = last.gamepad;
    Text(top + 1, 0, LedWords(last.led));
    Text(top + 2, 0, ArcadeWords(sticks[picked].player->ctx));
    std::vector<std::string> game = Wrap({"game " + sim::xbox::Describe(pad)}, COLS);
    for (size_t i = 0; i < game.size() && i < 2; ++i) {
        Text(top + 3 + static_cast<int>(i), 0, game[i]);
    }
    Text(top + 5, 0, Bar("LT", pad.leftTrigger, 10) + "  " + Bar("RT", pad.rightTrigger, 10));
    const REMAP_RECORD& mapping = sticks[picked].player->ctx->RemapRecord;
    std::string held;
    for (unsigned i = 0; i < 13; ++i) {
        if (last.buttons & (1u << i)) {
            held += std::string(held.empty() ? "" : " ") + sim::stick::kButtonNames[i] + " (" +
                    XboxButtonName(mapping.ButtonMap[i]) + ")";
        }
    }
    Text(top + 6, 0, "stick holds: " + (held.empty() ? std::string("none") : held));
    const ULONG* a = last.analog.data();
    Text(top + 7, 0,
         Format("hat %s  lx %u ly %u  rx %u ry %u  lt %u rt %u", HatName(a[ANALOG_HAT]),
                a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
                a[ANALOG_RIGHT_STICK_Y], a[ANALOG_LEFT_TRIGGER], a[ANALOG_RIGHT_TRIGGER]));
}

// The full layout: the Xbox buttons as lamps, both sticks in boxes, the
// triggers as bars, then the stick's own state and both reports.
void DrawFull(const std::vector<LiveStick>& sticks, const Shown& s, size_t picked, int top) {
    const StepResult* last = &s.last;
    const REMAP_RECORD& mapping = sticks[picked].player->ctx->RemapRecord;
    const sim::xbox::Gamepad& pad = last->gamepad;
    Text(top + 1, 0, LedWords(last->led) + "   " + ArcadeWords(sticks[picked].player->ctx));
    Text(top + 3, 0, "What a game sees (Xbox 360 controller):");
    struct Named {
        uint16_t bit;
        const char* name;
    };
    static const Named kFace[] = {{sim::xbox::kA, "A"},
                                  {sim::xbox::kB, "B"},
                                  {sim::xbox::kX, "X"},
                                  {sim::xbox::kY, "Y"},
                                  {sim::xbox::kLeftShoulder, "LB"},
                                  {sim::xbox::kRightShoulder, "RB"},
                                  {sim::xbox::kBack, "BACK"},
                                  {sim::xbox::kStart, "START"},
                                  {sim::xbox::kGuide, "GUIDE"},
                                  {sim::xbox::kLeftThumb, "LS"},
                                  {sim::xbox::kRightThumb, "RS"}};
    int col = 2;
    for (const Named& b : kFace) {
        Lamp(top + 4, col, b.name, (pad.buttons & b.bit) != 0);
        col += static_cast<int>(strlen(b.name)) + 3;
    }
    static const Named kDpad[] = {{sim::xbox::kDpadUp, "UP"},
                                  {sim::xbox::kDpadDown, "DOWN"},
                                  {sim::xbox::kDpadLeft, "LEFT"},
                                  {sim::xbox::kDpadRight, "RIGHT"}};
    Text(top + 5, 2, "D-pad");
    col = 8;
    for (const Named& b : kDpad) {
        Lamp(top + 5, col, b.name, (pad.buttons & b.bit) != 0);
        col += static_cast<int>(strlen(b.name)) + 3;
    }
    StickBox(top + 7, 2, "left stick ", pad.thumbLX, pad.thumbLY);
    StickBox(top + 7, 32, "right stick", pad.thumbRX, pad.thumbRY);
    Text(top + 16, 2, Bar("LT", pad.leftTrigger, 20));
    Text(top + 16, 32, Bar("RT", pad.rightTrigger, 20));
    Text(top + 17, 2, "game " + sim::xbox::Describe(pad));

    Text(top + 19, 0, "The stick (raw state):");
    std::string held;
    for (unsigned i = 0; i < 13; ++i) {
        if (last->buttons & (1u << i)) {
            held += std::string(held.empty() ? "" : " ") + sim::stick::kButtonNames[i] + " (" +
                    XboxButtonName(mapping.ButtonMap[i]) + ")";
        }
    }
    Text(top + 20, 2, "buttons held: " + (held.empty() ? std::string("none") : held));
    const ULONG* a = last->analog.data();
    Text(top + 21, 2,
         Format("hat %s  lx %u ly %u  rx %u ry %u  lt %u rt %u", HatName(a[ANALOG_HAT]),
                a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
                a[ANALOG_RIGHT_STICK_Y], a[ANALOG_LEFT_TRIGGER], a[ANALOG_RIGHT_TRIGGER]));
    if (!last->raw.empty()) {
        Text(top + 22, 2, "raw  [" + Hex(last->raw.data(), last->raw.size()) + "]");
    }
    Text(top + 23, 2, "xbox [" + Hex(last->xbox.data(), last->xbox.size()) + "]");
}

void Draw(const LiveViewOptions& options, const std::vector<LiveStick>& sticks,
          const std::vector<Shown>& shown, size_t picked, bool sessionOver) {
    erase();
    std::vector<std::string> help = Wrap(KeyHelp(options, sticks, picked), COLS);
    const int helpRows = static_cast<int>(help.size());
    const int listRows = sticks.size() > 1 ? static_cast<int>(sticks.size()) + 3 : 0;
    const bool full = COLS >= kFullWidth && LINES >= listRows + kFullRows + helpRows;
    const bool compact = COLS >= kCompactWidth && LINES >= kCompactRows + helpRows;
    if (!full && !compact) {
        // The smallest window the compact layout and its key help fit in.
        int rows = kCompactRows +
                   static_cast<int>(Wrap(KeyHelp(options, sticks, picked), kCompactWidth).size());
        std::vector<std::string> ask = Wrap({"Quillex live view:", "make the window at least",
                                             Format("%dx%d", kCompactWidth, rows),
                                             Format("(it is %dx%d);", COLS, LINES), "q quits"},
                                            COLS);
        for (size_t i = 0; i < ask.size(); ++i) {
            Text(static_cast<int>(i), 0, ask[i]);
        }
        refresh();
        return;
    }
    int top = 0;
    if (full && sticks.size() > 1) {
        Text(0, 0, "Quillex live view");
        top = DrawList(sticks, shown, picked);
    }
    Text(top, 0,
         "Quillex live view" +
             (!full && sticks.size() > 1 ? Format(" (%zu of %zu)", picked + 1, sticks.size())
                                         : std::string()) +
             ": " + sticks[picked].title);
    const Shown& s = shown[picked];
    if (!s.haveLast) {
        Text(top + 2, 0, "waiting for the first step ...");
    } else {
        if (full) {
            DrawFull(sticks, s, picked, top);
        } else {
            DrawCompact(sticks, s, picked, top);
        }
        const SessionStep& step = *s.last.step;
        Text(full ? top + 24 : top + 8, full ? 2 : 0,
             Format("step %zu: %s%s", s.played,
                    step.kind == SessionStep::kRequest ? (step.request.text + ": ").c_str() : "",
                    step.kind == SessionStep::kRequest ? s.last.request.meaning.c_str()
                                                       : step.what.c_str()));
    }
    int row = full ? top + 26 : top + 9;
    if (options.keyboard && sticks.size() > 1) {
        Text(row, 0, Format("The keyboard plays stick %zu (Tab: the next one).", picked + 1));
    } else if (!options.keyboard && sessionOver) {
        Text(row, 0, "The session is over.");
    }
    for (int i = 0; i < helpRows; ++i) {
        Text(LINES - helpRows + i, 0, help[i]);
    }
    refresh();
}

// A stick's axis a step further, within 0..255 (0 is up and left, as the
// stick reports it).
uint8_t Stepped(uint8_t axis, int step) {
    return static_cast<uint8_t>(std::clamp(axis + step, 0, 255));
}

// A trigger a quarter further, and let go after a full pull.
uint8_t Pulled(uint8_t trigger) {
    return trigger == 255 ? 0 : static_cast<uint8_t>(std::min(trigger + kTriggerStep, 255));
}

// A key that moves the hat, a stick or a trigger, or holds a button, on the
// picked stick: the stick's new state, or false for any other key.
bool KeyToStick(int key, Shown* s) {
    Hat& hat = s->hat;
    switch (key) {
    case KEY_UP:
    case 'w':
        hat.up = !hat.up;
        hat.down = false;
        break;
    case KEY_DOWN:
    case 's':
        hat.down = !hat.down;
        hat.up = false;
        break;
    case KEY_LEFT:
    case 'a':
        hat.left = !hat.left;
        hat.right = false;
        break;
    case KEY_RIGHT:
    case 'd':
        hat.right = !hat.right;
        hat.left = false;
        break;
    case 'W':
    case 'S':
        s->keys.leftY = Stepped(s->keys.leftY, key == 'S' ? kStickStep : -kStickStep);
        break;
    case 'A':
    case 'D':
        s->keys.leftX = Stepped(s->keys.leftX, key == 'D' ? kStickStep : -kStickStep);
        break;
    case 'I':
    case 'K':
        s->keys.rightY = Stepped(s->keys.rightY, key == 'K' ? kStickStep : -kStickStep);
        break;
    case 'J':
    case 'L':
        s->keys.rightX = Stepped(s->keys.rightX, key == 'L' ? kStickStep : -kStickStep);
        break;
    case '[':
        s->keys.leftTrigger = Pulled(s->keys.leftTrigger);
        break;
    case ']':
        s->keys.rightTrigger = Pulled(s->keys.rightTrigger);
        break;
    case ' ':
        hat = Hat();
        s->keys = sim::stick::StickState();
        break;
    default: {
        const char* at = static_cast<const char*>(memchr(kButtonKeys, key, sizeof(kButtonKeys)));
        if (key <= 0 || key >= 128 || at == nullptr) {
            return false;
        }
        s->keys.buttons ^= 1u << (at - kButtonKeys);
    }
    }
    s->keys.hat = hat.Value();
    return true;
}

} // namespace

bool RunLiveView(const LiveViewOptions& options, const std::vector<LiveStick>& sticks,
                 const StepSink& sink, std::string* error) {
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    timeout(5);

    std::vector<Shown> shown(sticks.size());
    size_t picked = 0;
    bool ok = true;
    auto start = Clock::now();
    auto drawn = Clock::time_point();
    bool dirty = true;
    bool over = false;

    auto play = [&](size_t i, const SessionStep& step) {
        Shown& s = shown[i];
        StepResult result;
        if (!PlayStep(*sticks[i].player, step, static_cast<int>(s.played), &result, error)) {
            return false;
        }
        ++s.played;
        s.last = result;
        s.haveLast = true;
        dirty = true;
        return sink(result);
    };
    auto allPlayed = [&] {
        for (size_t i = 0; i < sticks.size(); ++i) {
            if (shown[i].next < sticks[i].player->steps.size()) {
                return false;
            }
        }
        return true;
    };

    for (;;) {
        // Steps whose time has come, however many, in time order: the view
        // never falls behind.
        while (ok) {
            size_t who = sticks.size();
            for (size_t i = 0; i < sticks.size(); ++i) {
                const std::vector<SessionStep>& steps = sticks[i].player->steps;
                if (shown[i].next < steps.size() &&
                    Clock::now() >= start + steps[shown[i].next].at &&
                    (who == sticks.size() ||
                     steps[shown[i].next].at < sticks[who].player->steps[shown[who].next].at)) {
                    who = i;
                }
            }
            if (who == sticks.size()) {
                break;
            }
            ok = play(who, sticks[who].player->steps[shown[who].next++]);
        }
        if (!ok) {
            break;
        }
        // The readers' clocks follow the view's, so turbo runs; its presses
        // show as they reach the game.
        for (size_t i = 0; i < sticks.size(); ++i) {
            sticks[i].player->reader->AdvanceTo(Clock::now() - start);
            if (shown[i].haveLast) {
                sim::xbox::Gamepad pad = sticks[i].player->controller->GamepadState();
                if (pad != shown[i].last.gamepad) {
                    shown[i].last.gamepad = pad;
                    dirty = true;
                }
            }
        }
        if (!over && allPlayed()) {
            over = true;
            dirty = true;
        }
        int key = getch();
        if (key == 'q' || key == 'Q' || (options.stopRequested && options.stopRequested())) {
            break;
        }
        if (key == KEY_RESIZE) {
            // ncurses has taken the new size: lay the screen out again now.
            dirty = true;
            drawn = Clock::time_point();
        }
        if (key == '\t' ||
            (key >= '1' && key <= '9' && static_cast<size_t>(key - '0') <= sticks.size())) {
            picked = key == '\t' ? (picked + 1) % sticks.size() : static_cast<size_t>(key - '1');
            dirty = true;
        } else if (options.keyboard && key != ERR && KeyToStick(key, &shown[picked])) {
            Shown& s = shown[picked];
            SessionStep step;
            step.at = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
            step.state = s.keys;
            step.what = "keyboard";
            s.typed.push_back(step);
            ok = play(picked, s.typed.back());
            if (!ok) {
                break;
            }
        }
        // About 30 redraws a second at most, whatever the input rate.
        auto now = Clock::now();
        if (dirty && now - drawn >= std::chrono::milliseconds(33)) {
            Draw(options, sticks, shown, picked, allPlayed());
            drawn = now;
            dirty = false;
        }
    }
    endwin();
    return ok;
}
