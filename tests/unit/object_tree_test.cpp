// The framework object model the driver relies on: typed contexts start
// zeroed, children die with their parent, cleanup runs child first, and the
// verifier stops on objects left over or handles misused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/wdf/driver.h"
#include "sim/wdf/object.h"
#include "tests/support/sim_fixture.h"

namespace {

struct TEST_CONTEXT {
    ULONG Value;
    UCHAR Bytes[100];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_CONTEXT, GetTestContext)

struct OTHER_CONTEXT {
    ULONG Other;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OTHER_CONTEXT, GetOtherContext)

std::vector<std::string> g_events;

VOID RecordCleanup(WDFOBJECT Object) {
    g_events.push_back("cleanup " + std::to_string(GetTestContext(Object)->Value));
}

VOID RecordDestroy(WDFOBJECT Object) {
    g_events.push_back("destroy " + std::to_string(GetTestContext(Object)->Value));
}

class ObjectTreeTest : public quillex_test::DriverTest {
  protected:
    void SetUp() override { g_events.clear(); }

    WDFOBJECT Make(WDFOBJECT parent, ULONG tag) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CONTEXT);
        attributes.ParentObject = parent;
        attributes.EvtCleanupCallback = RecordCleanup;
        attributes.EvtDestroyCallback = RecordDestroy;
        WDFOBJECT object = nullptr;
        EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
        GetTestContext(object)->Value = tag;
        return object;
    }
};

TEST_F(ObjectTreeTest, TypedContextStartsZeroedAndIsFoundOnlyByItsType) {
    WDFOBJECT object = Make(nullptr, 0);
    TEST_CONTEXT* context = GetTestContext(object);
    ASSERT_NE(context, nullptr);
    for (UCHAR b : context->Bytes) {
        EXPECT_EQ(b, 0);
    }
    EXPECT_EQ(GetOtherContext(object), nullptr);
    WdfObjectDelete(object);
}

TEST_F(ObjectTreeTest, DeletingAParentCleansUpChildrenFirstThenDestroysAll) {
    WDFOBJECT root = Make(nullptr, 1);
    WDFOBJECT child = Make(root, 2);
    Make(child, 3);
    Make(root, 4);
    size_t live = sim::wdf::LiveObjectCount();

    WdfObjectDelete(root);

    // Every cleanup before any destroy; each child before its parent, the
    // newest sibling first.
    std::vector<std::string> expected = {"cleanup 4", "cleanup 3", "cleanup 2", "cleanup 1",
                                         "destroy 4", "destroy 3", "destroy 2", "destroy 1"};
    EXPECT_EQ(g_events, expected);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), live - 4);
}

TEST_F(ObjectTreeTest, DeletingAChildLeavesItsParentAlone) {
    WDFOBJECT root = Make(nullptr, 1);
    WDFOBJECT child = Make(root, 2);
    WdfObjectDelete(child);
    EXPECT_EQ(g_events, (std::vector<std::string>{"cleanup 2", "destroy 2"}));
    EXPECT_EQ(GetTestContext(root)->Value, 1u);
    WdfObjectDelete(root);
}

TEST_F(ObjectTreeTest, AReferenceDefersDestructionButNotCleanup) {
    WDFOBJECT root = Make(nullptr, 1);
    WDFOBJECT child = Make(root, 2);
    WdfObjectReference(child);
    WdfObjectDelete(child);
    EXPECT_EQ(g_events, (std::vector<std::string>{"cleanup 2"}));
    WdfObjectDereference(child);
    EXPECT_EQ(g_events, (std::vector<std::string>{"cleanup 2", "destroy 2"}));
    WdfObjectDelete(root);
}

TEST_F(ObjectTreeTest, ObjectsWithoutAParentBelongToTheDriverAndDieWithIt) {
    size_t before = sim::wdf::LiveObjectCount();
    WDFOBJECT orphan = nullptr;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &orphan), STATUS_SUCCESS);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), before + 1);
    // The fixture unloads the driver, which deletes it; the leftover check
    // would stop the test otherwise.
}

TEST_F(ObjectTreeTest, CreationFailsCleanlyUnderFaultInjection) {
    size_t before = sim::wdf::LiveObjectCount();
    sim::fault::FailNthCall("WdfObjectCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    WDFOBJECT object = reinterpret_cast<WDFOBJECT>(0x1);
    EXPECT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), before);
}

using ObjectTreeDeathTest = ObjectTreeTest;

TEST_F(ObjectTreeDeathTest, ObjectKeptAliveAfterItsRootIsDeletedStopsTheVerifier) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            WDFOBJECT parent = Make(nullptr, 1);
            WDFOBJECT child = Make(parent, 2);
            WdfObjectReference(child); // never dropped
            sim::wdf::UnloadDriver();
        },
        "framework objects left over");
}

TEST_F(ObjectTreeDeathTest, UsingADeletedHandleStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            WDFOBJECT object = Make(nullptr, 1);
            WdfObjectDelete(object);
            GetTestContext(object);
        },
        "invalid or deleted framework handle");
}

TEST_F(ObjectTreeDeathTest, MalformedAttributesStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            WDF_OBJECT_ATTRIBUTES attributes = {};
            WDFOBJECT object;
            WdfObjectCreate(&attributes, &object);
        },
        "malformed WDF_OBJECT_ATTRIBUTES");
}

} // namespace
