#include "tools/quillex-sim/live_view.h"

#include <curses.h>

#include <string.h>

#include <chrono>
#include <list>

#include "tools/quillex-sim/gamepad_view.h"

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

void Draw(const LiveViewOptions& options, const StepResult* last, const REMAP_RECORD& mapping,
          size_t played, bool sessionOver) {
    erase();
    mvprintw(0, 0, "Quillex live view: %s", options.title.c_str());
    if (last == nullptr) {
        mvprintw(2, 0, "waiting for the first step ...");
        mvprintw(LINES - 1, 0, "q quits and unplugs the stick");
        refresh();
        return;
    }
    const sim::xbox::Gamepad& pad = last->gamepad;
    mvprintw(1, 0, "LED state %u (%s)", last->led,
             last->led >= 2 && last->led <= 5 ? ("player " + std::to_string(last->led - 1)).c_str()
                                              : "no player light");
    mvprintw(3, 0, "What a game sees (Xbox 360 controller):");
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
        Lamp(4, col, b.name, (pad.buttons & b.bit) != 0);
        col += static_cast<int>(strlen(b.name)) + 3;
    }
    static const Named kDpad[] = {{sim::xbox::kDpadUp, "UP"},
                                  {sim::xbox::kDpadDown, "DOWN"},
                                  {sim::xbox::kDpadLeft, "LEFT"},
                                  {sim::xbox::kDpadRight, "RIGHT"}};
    mvprintw(5, 2, "D-pad");
    col = 8;
    for (const Named& b : kDpad) {
        Lamp(5, col, b.name, (pad.buttons & b.bit) != 0);
        col += static_cast<int>(strlen(b.name)) + 3;
    }
    StickBox(7, 2, "left stick ", pad.thumbLX, pad.thumbLY);
    StickBox(7, 32, "right stick", pad.thumbRX, pad.thumbRY);
    Bar(16, 2, "LT", pad.leftTrigger);
    Bar(16, 32, "RT", pad.rightTrigger);
    mvprintw(17, 2, "game %s", sim::xbox::Describe(pad).c_str());

    mvprintw(19, 0, "The stick (raw state):");
    std::string held;
    for (unsigned i = 0; i < 13; ++i) {
        if (last->buttons & (1u << i)) {
            held += std::string(held.empty() ? "" : " ") + sim::stick::kButtonNames[i] + " (" +
                    XboxButtonName(mapping.ButtonMap[i]) + ")";
        }
    }
    mvprintw(20, 2, "buttons held: %s", held.empty() ? "none" : held.c_str());
    const ULONG* a = last->analog.data();
    mvprintw(21, 2, "hat %s  lx %u ly %u  rx %u ry %u  lt %u rt %u", HatName(a[ANALOG_HAT]),
             a[ANALOG_LEFT_STICK_X], a[ANALOG_LEFT_STICK_Y], a[ANALOG_RIGHT_STICK_X],
             a[ANALOG_RIGHT_STICK_Y], a[ANALOG_LEFT_TRIGGER], a[ANALOG_RIGHT_TRIGGER]);
    if (!last->raw.empty()) {
        mvprintw(22, 2, "raw  [%s]", Hex(last->raw.data(), last->raw.size()).c_str());
    }
    mvprintw(23, 2, "xbox [%s]", Hex(last->xbox.data(), last->xbox.size()).c_str());
    mvprintw(24, 2, "step %zu: %s", played, last->step->what.c_str());

    int row = 26;
    if (options.keyboard) {
        mvprintw(row++, 0,
                 "Keys: arrows or WASD the hat (again: back to centre), space releases all");
        std::string keys;
        for (unsigned i = 0; i < 13; ++i) {
            keys += std::string(keys.empty() ? "" : "  ") + kButtonKeys[i] + " " +
                    (sim::stick::kButtonNames[i] + 4);
            if (i == 6) {
                mvprintw(row++, 2, "%s", keys.c_str());
                keys.clear();
            }
        }
        mvprintw(row++, 2, "%s", keys.c_str());
    } else if (sessionOver) {
        mvprintw(row++, 0, "The session is over.");
    }
    mvprintw(row + 1, 0, "q quits and unplugs the stick");
    refresh();
}

} // namespace

bool RunLiveView(const LiveViewOptions& options, const std::vector<SessionStep>& steps,
                 sim::stick::Layout layout, PDEVICE_CONTEXT ctx, LivePipeline& reader,
                 sim::xbox::Controller& controller, const StepSink& sink, std::string* error) {
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    timeout(5);

    std::list<SessionStep> typed; // the keyboard's steps, alive while results point at them
    StepResult last;
    bool haveLast = false;
    size_t played = 0;
    size_t next = 0;
    sim::stick::StickState state;
    Hat hat;
    bool ok = true;
    auto start = Clock::now();
    auto drawn = Clock::time_point();
    bool dirty = true;
    bool over = false;

    auto play = [&](const SessionStep& step) {
        StepResult result;
        if (!PlayStep(step, static_cast<int>(played), layout, ctx, reader, controller, &result,
                      error)) {
            return false;
        }
        ++played;
        last = result;
        haveLast = true;
        dirty = true;
        return sink(result);
    };

    for (;;) {
        // Steps whose time has come, however many: the view never falls behind.
        while (ok && next < steps.size() && Clock::now() >= start + steps[next].at) {
            ok = play(steps[next++]);
        }
        if (!ok) {
            break;
        }
        if (!over && next >= steps.size()) {
            over = true;
            dirty = true;
        }
        int key = getch();
        if (key == 'q' || key == 'Q') {
            break;
        }
        if (options.keyboard && key != ERR) {
            bool changed = true;
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
                state.buttons = 0;
                break;
            default: {
                const char* at =
                    static_cast<const char*>(memchr(kButtonKeys, key, sizeof(kButtonKeys)));
                if (key > 0 && key < 128 && at != nullptr) {
                    state.buttons ^= 1u << (at - kButtonKeys);
                } else {
                    changed = false;
                }
            }
            }
            if (changed) {
                state.hat = hat.Value();
                SessionStep step;
                step.at =
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
                step.state = state;
                step.what = "keyboard";
                typed.push_back(step);
                ok = play(typed.back());
                if (!ok) {
                    break;
                }
            }
        }
        // About 30 redraws a second at most, whatever the input rate.
        auto now = Clock::now();
        if (dirty && now - drawn >= std::chrono::milliseconds(33)) {
            Draw(options, haveLast ? &last : nullptr, ctx->RemapRecord, played,
                 next >= steps.size());
            drawn = now;
            dirty = false;
        }
    }
    endwin();
    return ok;
}
