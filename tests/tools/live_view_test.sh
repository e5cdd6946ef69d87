#!/usr/bin/env bash
# The live view as a player meets it, in a terminal run by tmux: keys held
# and released light and unlight the Xbox buttons a game sees, q unplugs
# cleanly, and a session of a thousand reports a second is played to its
# end.
sim="$1"
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/tmux_pane.sh"
pane=live

tmux_ new-session -d -s live -x 110 -y 45 \
    "'$sim' --layout a --live --keyboard; echo \"exit \$?\"; sleep 60"
wait_for 'Keys: arrows or WASD' || fail "the live view did not come up: $(screen)"
wait_for 'o LEFT_SHOULDER' || fail "the key legend does not name LB as the game sees it"
wait_for ' A   B   X ' || fail "A is lit before it is pressed"
tmux_ send-keys -t live j
wait_for '[A]' || fail "j did not light A"
tmux_ send-keys -t live Right
wait_for '[RIGHT]' || fail "the right arrow did not light the d-pad"
wait_for 'buttons held: BTN_A (A)' || fail "the stick's held buttons are not shown"
wait_for 'hat right' || fail "the stick's hat is not shown"
wait_for 'game buttons A DPAD_RIGHT' || fail "the game state is not shown"
tmux_ send-keys -t live j
wait_for 'game buttons DPAD_RIGHT ' || fail "j again did not release A"
screen | grep -qF '[A]' && fail "A still lit after its release"
tmux_ send-keys -t live q
wait_for 'exit 0' || fail "q did not end the run with exit code 0: $(screen | tail -5)"
screen | grep -q 'device removed' || fail "the stick was not unplugged cleanly"
screen | grep -q '0 framework objects left' || fail "the driver left objects behind"
tmux_ kill-session -t live

# Shift and the hat's keys move the left stick a step a press, ] pulls the
# right trigger a quarter; space lets everything go.
tmux_ new-session -d -s live -x 110 -y 45 \
    "'$sim' --layout a --live --keyboard; echo \"exit \$?\"; sleep 60"
wait_for 'Shift+W A S D the left stick, Shift+I J K L the right' ||
    fail "the key legend does not give the sticks' keys: $(screen | tail -8)"
tmux_ send-keys -t live W W D
wait_for 'game buttons -  LT 0  RT 0  LS (8192, 16384)  RS (0, 0)' ||
    fail "W W D did not move the left stick up and right: $(screen | grep game)"
wait_for 'lx 160 ly 64' || fail "the stick's raw axes are not shown: $(screen | grep hat)"
tmux_ send-keys -t live L ']' ']'
wait_for 'RT 128  LS (8192, 16384)  RS (8192, 0)' ||
    fail "L and ] ] did not move the right stick and pull RT: $(screen | grep game)"
tmux_ send-keys -t live ' '
wait_for 'game buttons -  LT 0  RT 0  LS (0, 0)  RS (0, 0)' ||
    fail "space did not let everything go: $(screen | grep game)"
tmux_ send-keys -t live q
wait_for 'exit 0' || fail "q after the sticks: $(screen | tail -5)"
tmux_ kill-session -t live

# The view fits the window: the full layout when there is room, lines of
# text when narrow, a request for a bigger window when too small, laid out
# again at each resize; the key help is on screen in every one, and quitting
# prints no driver error.
tmux_ new-session -d -s live -x 110 -y 45 \
    "'$sim' --sticks 2 --live --keyboard; echo \"exit \$?\"; sleep 60"
wait_for 'What a game sees (Xbox 360 controller):' || fail "110x45 is not the full layout"
tmux_ send-keys -t live j
wait_for 'buttons A ' || fail "j did not press A: $(screen | head -5)"
tmux_ resize-window -t live -x 60 -y 30
wait_for 'stick holds: BTN_A (A)' || fail "60x30 is not the compact layout: $(screen)"
screen | grep -qF 'What a game sees' && fail "60x30 still draws the full layout"
wait_for 'Quillex live view (1 of 2): stick 1: PID_0402 (raw layout A)' ||
    fail "the compact layout does not say which stick: $(screen | head -2)"
for help in 'Buttons:  j A' 'Tab or 1-2 picks a stick;' 'q quits and unplugs the sticks'; do
    screen | grep -qF -- "$help" || fail "60x30: the key help lacks '$help': $(screen | tail -9)"
done
screen | awk 'length > 60 { bad = 1 } END { exit !bad }' && fail "60x30: a line is wider than 60"
tmux_ resize-window -t live -x 30 -y 12
wait_for 'make the window at least' || fail "30x12 does not ask for a bigger window: $(screen)"
wait_for '40x' || fail "30x12 does not give the size it needs: $(screen)"
wait_for 'q quits' || fail "30x12 hides q"
tmux_ resize-window -t live -x 40 -y 24
wait_for 'stick holds: BTN_A (A)' || fail "40x24 is not the compact layout: $(screen)"
wait_for 'q quits and unplugs the sticks' || fail "40x24 hides q: $(screen | tail -3)"
tmux_ send-keys -t live q
wait_for 'exit 0' || fail "q after the resizes: $(screen | tail -5)"
screen | grep -E 'TBD|ThreadRecover|[Ee]rror' && fail "quitting printed a driver error"
tmux_ kill-session -t live

# The arcade settings are shown as a session sets them.
printf '%s\n' '@0ms set TURBO_MASK=3 TURBO_RATE=10 DPAD_MODE=1' '+20ms BTN_A "held"' >"$dir/turbo.session"
tmux_ new-session -d -s live -x 110 -y 45 \
    "'$sim' --layout a --live --script '$dir/turbo.session'; echo \"exit \$?\"; sleep 60"
wait_for 'The session is over.' || fail "the turbo session did not end: $(screen | head -30)"
wait_for 'lever: left stick  turbo: BTN_A BTN_B at 10/s  combination off' ||
    fail "the settings are not shown: $(screen | head -3)"
tmux_ send-keys -t live q
wait_for 'exit 0' || fail "q after the turbo session: $(screen | tail -5)"
tmux_ kill-session -t live

# A thousand steps a second: every one is played and shown by the end.
{
    echo '@0ms "start"'
    for i in $(seq 1000); do
        if ((i % 2)); then echo "+1ms A \"press $i\""; else echo "+1ms \"release $i\""; fi
    done
} >"$dir/fast.session"
tmux_ new-session -d -s live -x 110 -y 45 \
    "'$sim' --layout b --live --script '$dir/fast.session'; echo \"exit \$?\"; sleep 60"
wait_for 'The session is over.' 150 || fail "the fast session did not end: $(screen | head -30)"
wait_for 'step 1001: release 1000' || fail "not every step was played: $(screen | grep step)"
tmux_ send-keys -t live q
wait_for 'exit 0' || fail "q after the fast session: $(screen | tail -5)"
tmux_ kill-session -t live

# Three sticks: each listed with its own player light; the keyboard plays
# the picked one, Tab picks the next, a stick's number picks it.
tmux_ new-session -d -s live -x 120 -y 50 \
    "'$sim' --sticks 3 --live --keyboard; echo \"exit \$?\"; sleep 60"
wait_for 'The keyboard plays stick 1 (Tab: the next one).' || fail "three sticks: $(screen)"
wait_for 'stick 2: PID_0403 (raw layout B), device #2 LED state 3 (player 2)' ||
    fail "stick 2 is not listed as player 2: $(screen | head -6)"
wait_for 'stick 3: PID_0402 (raw layout A), device #3 LED state 4 (player 3)' ||
    fail "stick 3 is not listed as player 3"
tmux_ send-keys -t live j
wait_for '> stick 1: PID_0402 (raw layout A), device #1 LED state 2 (player 1)  buttons A ' ||
    fail "j did not press A on stick 1: $(screen | head -6)"
tmux_ send-keys -t live Tab
wait_for 'The keyboard plays stick 2' || fail "Tab did not pick stick 2"
wait_for 'Quillex live view: stick 2: PID_0403' || fail "stick 2 is not shown in full"
tmux_ send-keys -t live k
wait_for '> stick 2: PID_0403 (raw layout B), device #2 LED state 3 (player 2)  buttons B ' ||
    fail "k did not press B on stick 2: $(screen | head -6)"
screen | grep -q '  stick 1: .*buttons A  ' || fail "stick 1 did not keep its A alone"
tmux_ send-keys -t live 3
wait_for 'The keyboard plays stick 3' || fail "3 did not pick stick 3"
tmux_ send-keys -t live q
wait_for 'exit 0' || fail "q with three sticks: $(screen | tail -5)"
[[ $(screen | grep -c 'device removed') -eq 3 ]] || fail "not every stick was unplugged"

# Without a terminal the live view refuses, before anything runs.
"$sim" --layout a --live >"$dir/out" 2>"$dir/err" </dev/null
[[ $? -eq 1 ]] || fail "--live without a terminal did not refuse"
grep -q -- '--live draws in a terminal, and stdout is not one' "$dir/err" ||
    fail "--live without a terminal: $(cat "$dir/err")"
grep -q 'driver loaded' "$dir/out" && fail "--live without a terminal started the machine"

finish "live view"
