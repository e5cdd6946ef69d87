// Session scripts: what a line means, and errors that point at the line and
// column at fault.
#include <gtest/gtest.h>

#include "mapping/remap_store.h"
#include "tools/quillex-sim/session_script.h"

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

    EXPECT_EQ(steps[2].kind, SessionStep::kSetMapping);
    EXPECT_EQ(steps[2].at, std::chrono::microseconds(1750500));
    EXPECT_EQ(steps[2].valueName, "SWAP_TRIGGERS");
    EXPECT_EQ(steps[2].recordOffset, FIELD_OFFSET(REMAP_RECORD, SWAP_TRIGGERS));
    EXPECT_EQ(steps[2].value, 1);

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
        {"@0ms set BTN_A=3 A", 1, 18, "a set line changes one value"},
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

TEST(SessionScript, AFileErrorSaysFileLineAndColumn) {
    std::vector<SessionStep> steps;
    std::string error;
    EXPECT_FALSE(LoadSessionScript("/nonexistent/play.session", &steps, &error));
    EXPECT_EQ(error, "/nonexistent/play.session: No such file or directory");
}

} // namespace
