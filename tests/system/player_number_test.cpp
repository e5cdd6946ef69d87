// Several sticks plugged at once: the class driver gives each emulated
// controller a player number of its own, as Windows numbers wired pads, and
// lights it; the driver's LED state of each stick follows its own
// controller's command.
#include <gtest/gtest.h>

#include "tests/support/reader_stack.h"

namespace quillex_test {
namespace {

UCHAR LedState(PDEVICE_CONTEXT context) {
    KIRQL irql;
    KeAcquireSpinLock(&context->StateLock, &irql);
    UCHAR state = context->LedState;
    KeReleaseSpinLock(&context->StateLock, irql);
    return state;
}

class PlayerNumberTest : public ReaderStackTest {
  protected:
    // A stick with its reader running and its controller configured.
    std::shared_ptr<sim::xbox::Controller> PlugController(uint16_t productId, DeviceId* id) {
        *id = PlugAndRead(productId);
        PDEVICE_CONTEXT context = Context(*id);
        EXPECT_NE(context->XusbPdo, nullptr);
        if (context->XusbPdo == nullptr) {
            return nullptr;
        }
        auto controller =
            sim::xbox::WaitForController(WdfDeviceWdmGetDeviceObject(context->XusbPdo));
        EXPECT_NE(controller, nullptr);
        if (controller != nullptr) {
            EXPECT_EQ(controller->WaitConfigured(), STATUS_SUCCESS);
        }
        return controller;
    }

    // The LED state the stick's command gives, once its work item ran.
    void ExpectLed(DeviceId id, UCHAR state) {
        PDEVICE_CONTEXT context = Context(id);
        EXPECT_TRUE(WaitUntil([&] { return LedState(context) == state; }))
            << "LED state " << unsigned(LedState(context)) << ", expected " << unsigned(state);
    }
};

TEST_F(PlayerNumberTest, EachControllerLightsItsOwnPlayerAndAFreedNumberIsTakenAgain) {
    stack_.Install(sim::xbox::Package());
    std::vector<DeviceId> ids(5);
    std::vector<std::shared_ptr<sim::xbox::Controller>> controllers;
    for (size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE(i);
        uint16_t productId = i % 2 ? sim::stick::kLayoutBProductId : sim::stick::kLayoutAProductId;
        controllers.push_back(PlugController(productId, &ids[i]));
        ASSERT_NE(controllers.back(), nullptr);
    }
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(controllers[i]->Player(), i + 1);
        EXPECT_EQ(controllers[i]->LedCommand(), 0x06 + i);
        ExpectLed(ids[i], static_cast<UCHAR>(2 + i)); // LED states 2..5: players 1..4
    }
    // Four players light four lights; the fifth pad gets none.
    EXPECT_EQ(controllers[4]->Player(), 0);
    EXPECT_EQ(controllers[4]->LedCommand(), 0x01);
    ExpectLed(ids[4], 0);

    // Player 2 leaves: the next controller takes its number, not a sixth.
    apps_[1].Close();
    ASSERT_EQ(stack_.Unplug(ids[1]), STATUS_SUCCESS);
    stack_.WaitRemoved(ids[1]);
    EXPECT_EQ(controllers[1]->Player(), 0);
    DeviceId again = 0;
    auto newcomer = PlugController(sim::stick::kLayoutBProductId, &again);
    ASSERT_NE(newcomer, nullptr);
    EXPECT_EQ(newcomer->Player(), 2);
    ExpectLed(again, 3);
    EXPECT_EQ(controllers[0]->Player(), 1);
    ExpectLed(ids[0], 2);
}

} // namespace
} // namespace quillex_test
