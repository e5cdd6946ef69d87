#include "tools/quillex-sim/view/live_view.h"

#include <curses.h>

#include <string.h>

#include <chrono>
#include <list>

#include "tools/common/control_names.h"

namespace {

using Clock = std::chrono::steady_clock;

// The keys that play the thirteen canonical buttons, in button order; each
// press holds the button, the next releases it (a terminal tells no key
// releases).
constexpr char kButtonKeys[13] = {'j', 'k', 'u', 'i', 'o', 'l', 'b', 'n', 'z', 'x', 'p', 'h', 'm'};

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

void Bar(int row, int col, const char* name, unsigned value) {
    char bar[21];
    unsigned filled = value * 20 / 255;
    for (unsigned i = 0; i < 20; ++i) {
        bar[i] = i < filled ? '#' : '.';
    }
    bar[20] = 0;
    mvprintw(row, col, "%s [%s] %3u", name, bar, value);
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
    mvprintw(1, 0, "%zu sticks; Tab or a stick's number shows it in full:", sticks.size());
    for (size_t i = 0; i < sticks.size(); ++i) {
        const Shown& s = shown[i];
        std::string what = s.haveLast
                               ? LedWords(s.last.led) + "  " + sim::xbox::Describe(s.last.gamepad)
                               : "waiting for the first step";
        mvprintw(2 + static_cast<int>(i), 0, "%s %-40s %s", i == picked ? ">" : " ",
                 sticks[i].title.c_str(), what.c_str());
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
    for (unsigned i = 0; i < QUILLEX_CANONICAL_BUTTON_COUNT; ++i) {
        if (arcade.TurboMask & (1u << i)) {
            turbo += std::string(turbo.empty() ? "" : " ") + sim::stick::kButtonNames[i];
        }
    }
    return std::string("lever: ") + (arcade.DpadMode < 3 ? kModes[arcade.DpadMode] : "?") +
           "  turbo: " +
           (turbo.empty() ? "none" : turbo + " at " + std::to_string(arcade.TurboRate) + "/s") +
           "  combination " + (arcade.HotkeysEnabled ? "on" : "off");
}

void Draw(const LiveViewOptions& options, const std::vector<LiveStick>& sticks,
          const std::vector<Shown>& shown, size_t picked, bool sessionOver) {
    erase();
    int top = 0;
    if (sticks.size() > 1) {
        mvprintw(0, 0, "Quillex live view");
        top = DrawList(sticks, shown, picked);
    }
    mvprintw(top, 0, "Quillex live view: %s", sticks[picked].title.c_str());
    const Shown& s = shown[picked];
    if (!s.haveLast) {
        mvprintw(top + 2, 0, "waiting for the first step ...");
        mvprintw(LINES - 1, 0, "q quits and unplugs the stick");
        refresh();
        return;
    }
    const StepResult* last = &s.last;
    const REMAP_RECORD& mapping = sticks[picked].player->ctx->RemapRecord;
    const sim::xbox::Gamepad& pad = last->gamepad;
    mvprintw(top + 1, 0, "%s   %s", LedWords(last->led).c_str(),
             ArcadeWords(sticks[picked].player->ctx).c_str());
    mvprintw(top + 3, 0, "What a game sees (Xbox 360 controller):");
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
    mvprintw(top + 5, 2, "D-pad");
    col = 8;
    for (const Named& b : kDpad) {
        Lamp(top + 5, col, b.name, (pad.buttons & b.bit) != 0);
        col += static_cast<int>(strlen(b.name)) + 3;
    }
    StickBox(top + 7, 2, "left stick ", pad.thumbLX, pad.thumbLY);
    StickBox(top + 7, 32, "right stick", pad.thumbRX, pad.thumbRY);
    Bar(top + 16, 2, "LT", pad.leftTrigger);
    Bar(top + 16, 32, "RT", pad.rightTrigger);
    mvprintw(top + 17, 2, "game %s", sim::xbox::Describe(pad).c_str());

    mvprintw(top + 19, 0, "The stick (raw state):");
    std::string held;
    for (unsigned i = 0; i < 13; ++i) {
        if (last->buttons & (1u << i)) {
            held += std::string(held.empty() ? "" : " ") + sim::stick::kButtonNames[i] + " (" +
                    XboxButtonName(mapping.ButtonMap[i]) + ")";
        }
    }
    mvprintw(top + 20, 2, "buttons held: %s", held.empty() ? "none" : held.c_str());
    const ULONG* a = last->analog.data();
    mvprintw(top + 21, 2, "hat %s  lx %u ly %u  rx %u ry %u  lt %u rt %u", HatName(a[ANALOG_HAT]),
             a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
             a[ANALOG_RIGHT_STICK_Y], a[ANALOG_LEFT_TRIGGER], a[ANALOG_RIGHT_TRIGGER]);
    if (!last->raw.empty()) {
        mvprintw(top + 22, 2, "raw  [%s]", Hex(last->raw.data(), last->raw.size()).c_str());
    }
    mvprintw(top + 23, 2, "xbox [%s]", Hex(last->xbox.data(), last->xbox.size()).c_str());
    const SessionStep& step = *last->step;
    mvprintw(top + 24, 2, "step %zu: %s%s", s.played,
             step.kind == SessionStep::kRequest ? (step.request.text + ": ").c_str() : "",
             step.kind == SessionStep::kRequest ? last->request.meaning.c_str()
                                                : step.what.c_str());

    int row = top + 26;
    if (options.keyboard) {
        if (sticks.size() > 1) {
            mvprintw(row++, 0, "The keyboard plays stick %zu (Tab: the next one).", picked + 1);
        }
        mvprintw(row++, 0,
                 "Keys: arrows or WASD the hat (again: back to centre), space releases all");
        std::string keys;
        for (unsigned i = 0; i < 13; ++i) {
            // Named by what the game sees: the Xbox button the mapping gives.
            keys += std::string(keys.empty() ? "" : "  ") + kButtonKeys[i] + " " +
                    XboxButtonName(sticks[picked].player->ctx->RemapRecord.ButtonMap[i]);
            if (i == 6) {
                mvprintw(row++, 2, "%s", keys.c_str());
                keys.clear();
            }
        }
        mvprintw(row++, 2, "%s", keys.c_str());
    } else if (sessionOver) {
        mvprintw(row++, 0, "The session is over.");
    }
    mvprintw(row + 1, 0,
             sticks.size() > 1 ? "q quits and unplugs the sticks"
                               : "q quits and unplugs the stick");
    refresh();
}

// A key that moves the hat or holds a button on the picked stick: the
// stick's new state, or false for any other key.
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
    case ' ':
        hat = Hat();
        s->keys.buttons = 0;
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
