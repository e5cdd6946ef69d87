// Session scripts: what a line means, and errors that point at the line and
// column at fault.
#include <gtest/gtest.h>

#include <string.h>

#include "mapping/remap_store.h"
#include "tools/quillex-sim/session/session_script.h"

namespace {

using std::chrono::milliseconds;
namespace stick = sim::stick;

TEST(SessionScript, BuiltInSessionsAreTheDemoOfEachModel) {
    std::vector<stick::ScriptedReport> demo = stick::DemoScript();
    for (stick::Layout layout : {stick::Layout::A, stick::Layout::B}) {
        std::vector<SessionStep> steps;
        ScriptError error;
        ASSERT_TRUE(ParseSessionScript(BuiltinSessionScript(layout), &steps, &error))
            << error.line << ":" << error.column << ": " << error.message;
        ASSERT_EQ(steps.size(), demo.size());
        for (size_t i = 0; i < demo.size(); ++i) {
            SCOPED_TRACE(demo[i].what);
            EXPECT_EQ(steps[i].what, demo[i].what);
            EXPECT_EQ(steps[i].at, milliseconds(20 * i));
            EXPECT_EQ(stick::Encode(layout, steps[i].state), stick::Encode(layout, demo[i].state));
        }
    }
}

TEST(SessionScript, StepsHoldTheirButtonsAndKeepTheAxes) {
    const char* text = "# a comment line\n"
                       "\n"
                       "@1.5s a b hat=up-left lx=0 rt=255   \"jump\"  # trailing comment\n"
                       "+250ms BTN_HOME hat=Centre\n"
                       "+0.5ms set SWAP_TRIGGERS=1\n"
                       "@2s rest\n";
    std::vector<SessionStep> steps;
    ScriptError error;
    ASSERT_TRUE(ParseSessionScript(text, &steps, &error)) << error.message;
    ASSERT_EQ(steps.size(), 4u);

    EXPECT_EQ(steps[0].at, milliseconds(1500));
    EXPECT_EQ(steps[0].line, 3);
    EXPECT_EQ(steps[0].what, "jump");
    EXPECT_EQ(steps[0].state.buttons, stick::A | stick::B);
    EXPECT_EQ(steps[0].state.hat, 7);
    EXPECT_EQ(steps[0].state.leftX, 0);
    EXPECT_EQ(steps[0].state.rightTrigger, 255);

    // Buttons and hat are the line's alone; axes carry over.
    EXPECT_EQ(steps[1].at, milliseconds(1750));
    EXPECT_EQ(steps[1].what, "BTN_HOME hat=Centre");
    EXPECT_EQ(steps[1].state.buttons, stick::Home);
    EXPECT_EQ(steps[1].state.hat, 8);
    EXPECT_EQ(steps[1].state.leftX, 0);
    EXPECT_EQ(steps[1].state.rightTrigger, 255);

    EXPECT_EQ(steps[2].kind, SessionStep::kRequest);
    EXPECT_EQ(steps[2].at, std::chrono::microseconds(1750500));
    EXPECT_EQ(steps[2].request.kind, AppRequest::kSetMappingValues);
    EXPECT_EQ(steps[2].request.text, "set SWAP_TRIGGERS=1");
    ASSERT_EQ(steps[2].request.mappingValues.size(), 1u);
    EXPECT_EQ(steps[2].request.mappingValues[0].first, FIELD_OFFSET(REMAP_RECORD, SWAP_TRIGGERS));
    EXPECT_EQ(steps[2].request.mappingValues[0].second, 1);

    EXPECT_EQ(steps[3].state.leftX, 128);
    EXPECT_EQ(steps[3].state.rightTrigger, 0);
    EXPECT_EQ(steps[3].state.buttons, 0u);
}

TEST(SessionScript, ErrorsNameTheLineAndColumn) {
    struct Case {
        const char* text;
        int line, column;
        const char* message;
    } cases[] = {
        {"@0ms A\nA", 2, 1, "a step starts with its time"},
        {"@0ms A\n+5 A", 2, 1, "a step starts with its time"},
        {"@0ms\n@10ms A\n@5ms", 3, 1, "the time goes back"},
        {"@0ms BTN_Q", 1, 6, "'BTN_Q' is no canonical button"},
        {"@0ms A  hat=north", 1, 13, "the hat points up"},
        {"@0ms lx=256", 1, 9, "lx is a number 0..255"},
        {"@0ms lx=-1", 1, 9, "lx is a number 0..255"},
        {"@0ms zz=1", 1, 6, "'zz' is not hat"},
        {"@0ms A \"open", 1, 8, "closing quote is missing"},
        {"@0ms \"label\" A", 1, 14, "nothing may follow the label"},
        {"@0ms set", 1, 6, "set needs NAME=VALUE"},
        {"@0ms set BTN_Z=1", 1, 10, "'BTN_Z' is no mapping value"},
        {"@0ms set RestoreDefaults=1", 1, 10, "is no mapping value"},
        {"@0ms set BTN_A=300", 1, 16, "a mapping value is a number 0..255"},
        {"@0ms set BTN_A=3 A", 1, 18, "set takes NAME=VALUE only"},
        {"@0ms get-state A", 1, 16, "get-state takes nothing more"},
        {"@0ms get-value", 1, 6, "get-value names one data item"},
        {"@0ms get-value DPAD LED", 1, 21, "get-value names one data item"},
        {"@0ms get-value WHEEL", 1, 16, "'WHEEL' is no data item"},
        {"@0ms set-value DPAD", 1, 16, "set-value needs ITEM=VALUE"},
        {"@0ms set-value DPAD=-1", 1, 21, "a data item's value is a number"},
        {"@0ms set-value DPAD=4294967296", 1, 21, "a data item's value is a number"},
        {"@0ms set-state A hat=sideways", 1, 22, "hat is a number 0..4294967295 or a direction"},
        {"@0ms set-state A wheel=3", 1, 18, "'wheel' is not hat, lx"},
        {"@0ms set-state BTN_Q", 1, 16, "'BTN_Q' is no canonical button"},
        {"@0ms stick=0 A", 1, 12, "stick= names a stick by its number"},
        {"@0ms stick=2 A stick=1", 1, 16, "stick= comes once, right after the time"},
        {"@0ms set BTN_A", 1, 10, "set takes NAME=VALUE only"},
        {"@0ms stick=x get-state", 1, 12, "stick= names a stick by its number"},
        {"@99999999s", 1, 1, "a step starts with its time"},
        {"# nothing\n\n", 2, 1, "the script has no step"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<SessionStep> steps;
        ScriptError error;
        EXPECT_FALSE(ParseSessionScript(c.text, &steps, &error));
        EXPECT_EQ(error.line, c.line);
        EXPECT_EQ(error.column, c.column);
        EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    }
}

TEST(SessionScript, RequestsAreParsedIntoWhatTheControlCodesCarry) {
    const char* text = "@0ms get-state\n"
                       "+1ms get-value dpad \"where the hat is\"\n"
                       "+1ms get-value 22\n"
                       "+1ms set-value LED=3\n"
                       "+1ms set-value 0=4294967295\n"
                       "+1ms set-state A y hat=12 lx=300 rt=200 lt=7 led=1\n"
                       "+1ms set-state\n"
                       "+1ms restore-defaults\n"
                       "+1ms get-mapping\n";
    std::vector<SessionStep> steps;
    ScriptError error;
    ASSERT_TRUE(ParseSessionScript(text, &steps, &error)) << error.message;
    ASSERT_EQ(steps.size(), 9u);
    for (const SessionStep& step : steps) {
        EXPECT_EQ(step.kind, SessionStep::kRequest) << step.what;
    }
    EXPECT_EQ(steps[0].request.kind, AppRequest::kGetState);
    EXPECT_EQ(steps[0].what, "get-state");
    EXPECT_EQ(steps[1].request.itemId, ULONG{QUILLEX_ITEM_DPAD});
    EXPECT_EQ(steps[1].request.text, "get-value dpad");
    EXPECT_EQ(steps[1].what, "where the hat is");
    // A number is sent as given, so a script can try an id the driver refuses.
    EXPECT_EQ(steps[2].request.itemId, 22u);
    EXPECT_EQ(steps[3].request.itemId, ULONG{QUILLEX_ITEM_LED});
    EXPECT_EQ(steps[3].request.value, 3u);
    EXPECT_EQ(steps[4].request.itemId, 0u);
    EXPECT_EQ(steps[4].request.value, 0xFFFFFFFFu);

    // The whole block: named buttons, any 32-bit numbers (the driver checks
    // none on this path), rt in the field that drives the right trigger.
    const APP_INSTANCE& s = steps[5].request.state;
    EXPECT_EQ(s.Buttons[0], 1);
    EXPECT_EQ(s.Buttons[3], 1);
    EXPECT_EQ(s.Buttons[1] + s.Buttons[2] + s.Buttons[4] + s.Buttons[12], 0);
    EXPECT_EQ(s.Dpad, 12u);
    EXPECT_EQ(s.LeftStickX, 300u);
    EXPECT_EQ(s.LeftStickY, 128u);
    EXPECT_EQ(s.FirstTrigger, 200u);
    EXPECT_EQ(s.SecondTrigger, 7u);
    EXPECT_EQ(s.Led, 1u);
    // Nothing named: the block's defaults.
    const APP_INSTANCE& rest = steps[6].request.state;
    EXPECT_EQ(rest.RightStickX, 128u);
    EXPECT_EQ(rest.RightStickY, 128u);
    EXPECT_EQ(rest.Dpad, 8u);
    EXPECT_EQ(rest.Led, 3u);
    EXPECT_EQ(steps[7].request.kind, AppRequest::kRestoreDefaults);
    EXPECT_EQ(steps[8].request.kind, AppRequest::kGetMapping);

    // Recordings keep the request as text and read it back the same.
    AppRequest again;
    ASSERT_TRUE(ParseAppRequestText(steps[5].request.text, &again, &error)) << error.message;
    EXPECT_EQ(memcmp(&again.state, &s, sizeof(s)), 0);
    EXPECT_FALSE(ParseAppRequestText("A hat=up", &again, &error));
}

TEST(SessionScript, EachStickPlaysTheLinesForAllAndItsOwn) {
    const char* text = "@0ms lx=10 A\n"
                       "+1ms stick=2 ly=20 B \"two alone\"\n"
                       "+1ms stick=1 get-state\n"
                       "+1ms X\n";
    std::vector<SessionStep> steps;
    ScriptError error;
    ASSERT_TRUE(ParseSessionScript(text, &steps, &error)) << error.message;
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[1].stick, 2);
    EXPECT_EQ(steps[1].stickColumn, 12);
    EXPECT_EQ(steps[3].what, "X");

    std::vector<SessionStep> one = StepsForStick(steps, 1);
    ASSERT_EQ(one.size(), 3u);
    EXPECT_EQ(one[1].kind, SessionStep::kRequest);
    EXPECT_EQ(one[2].state.buttons, stick::X);
    EXPECT_EQ(one[2].state.leftX, 10);
    EXPECT_EQ(one[2].state.leftY, 128); // stick 2's line never reached stick 1

    std::vector<SessionStep> two = StepsForStick(steps, 2);
    ASSERT_EQ(two.size(), 3u);
    EXPECT_EQ(two[1].what, "two alone");
    EXPECT_EQ(two[1].state.buttons, stick::B);
    EXPECT_EQ(two[2].state.leftX, 10);
    EXPECT_EQ(two[2].state.leftY, 20); // its own line's axis carries over

    EXPECT_EQ(StepsForStick(steps, 3).size(), 2u);
}

TEST(SessionScript, AFileErrorSaysFileLineAndColumn) {
    std::vector<SessionStep> steps;
    std::string error;
    EXPECT_FALSE(LoadSessionScript("/nonexistent/play.session", &steps, &error));
    EXPECT_EQ(error, "/nonexistent/play.session: No such file or directory");
}

} // namespace
