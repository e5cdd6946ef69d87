// Calibration curves, bit for bit against the double-precision definition.
#include <gtest/gtest.h>

#include <vector>

#include "mapping/curves.h"
#include "tests/support/sim_fixture.h"

namespace {

// The curve evaluated exactly as defined: doubles, t stepping by 1/256,
// ((t*t)*t)*c3 + (t*t)*c2 + t*c1, clamp above 255, else round half up.
void ReferenceTable(int p1, int p2, UCHAR out[256]) {
    double c1 = 3.0 * p1;
    double c2 = 3.0 * (p2 - p1) - 3.0 * p1;
    double c3 = 256.0 - c1 - c2;
    double t = 0.0;
    for (int i = 0; i < 256; ++i) {
        double y = ((t * t) * t) * c3 + (t * t) * c2 + t * c1;
        out[i] = y > 255.0 ? 255 : static_cast<UCHAR>(static_cast<int>(y + 0.5));
        t += 0.00390625;
    }
}

struct Listed {
    int p1, p2;
    std::vector<int> entries; // at the indices below
};
const int kIndices[] = {0, 1, 2, 16, 32, 64, 96, 128, 160, 192, 224, 240, 254, 255};

TEST(Curves, ListedEntriesOfTheCornerCases) {
    const Listed cases[] = {
        {0, 0, {0, 0, 0, 0, 1, 4, 14, 32, 63, 108, 172, 211, 250, 253}},
        {255, 255, {0, 3, 6, 45, 84, 147, 193, 223, 242, 251, 255, 255, 255, 255}},
        {0, 255, {0, 0, 0, 3, 11, 40, 81, 128, 175, 216, 245, 253, 255, 255}},
        {255, 0, {0, 3, 6, 42, 74, 112, 126, 128, 130, 144, 182, 214, 250, 253}},
    };
    for (const Listed& c : cases) {
        UCHAR table[256];
        BuildCurveTable(c.p1, c.p2, table);
        for (size_t k = 0; k < c.entries.size(); ++k) {
            EXPECT_EQ(table[kIndices[k]], c.entries[k])
                << "(" << c.p1 << ", " << c.p2 << ") entry " << kIndices[k];
        }
    }
}

TEST(Curves, DefaultPairIsAMildSCurveAndIdentityPairIsTheIdentity) {
    UCHAR table[256];
    BuildCurveTable(90, 165, table);
    const int at[] = {0, 1, 16, 32, 64, 96, 128, 160, 192, 224, 240, 255};
    const int expected[] = {0, 1, 17, 33, 65, 97, 128, 159, 190, 223, 239, 255};
    for (size_t k = 0; k < sizeof(at) / sizeof(at[0]); ++k) {
        EXPECT_EQ(table[at[k]], expected[k]) << "entry " << at[k];
    }
    BuildCurveTable(85, 171, table);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(table[i], i);
    }
    BuildCurveTable(128, 128, table);
    EXPECT_EQ(table[128], 128);
    EXPECT_EQ(table[255], 255);
}

TEST(Curves, EveryControlPointPairMatchesTheDoublePrecisionReference) {
    UCHAR table[256];
    UCHAR reference[256];
    int mismatches = 0;
    for (int p1 = 0; p1 < 256; ++p1) {
        for (int p2 = 0; p2 < 256; ++p2) {
            BuildCurveTable(p1, p2, table);
            ReferenceTable(p1, p2, reference);
            if (memcmp(table, reference, 256) != 0 && ++mismatches <= 5) {
                ADD_FAILURE() << "pair (" << p1 << ", " << p2 << ") differs";
            }
            EXPECT_EQ(table[0], 0);
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(Curves, OnlyTheLowByteOfAControlPointCounts) {
    UCHAR wide[256], low[256];
    BuildCurveTable(0x15A, 0xFFA5, wide);
    BuildCurveTable(0x5A, 0xA5, low);
    EXPECT_EQ(memcmp(wide, low, 256), 0);
}

using CurveTablesTest = quillex_test::DriverTest;

TEST_F(CurveTablesTest, EachTableIsBuiltFromItsOwnPairInRecordOrder) {
    quillex_test::ContextHolder holder(driver_.Handle());
    PDEVICE_CONTEXT ctx = holder.Context();
    // Pair k: (85, 171) identity for k even, (0, 0) cubic for k odd.
    for (int k = 0; k < QUILLEX_CURVE_COUNT; ++k) {
        ctx->RemapRecord.ControlPoints[2 * k] = (k % 2 == 0) ? 85 : 0;
        ctx->RemapRecord.ControlPoints[2 * k + 1] = (k % 2 == 0) ? 171 : 0;
    }
    ctx->RemapRecord.R_STICK_Y_CP_1 = 255; // table 3
    ctx->RemapRecord.R_STICK_Y_CP_2 = 0;
    BuildCurveTables(ctx);
    UCHAR expected[256];
    for (int k = 0; k < QUILLEX_CURVE_COUNT; ++k) {
        if (k == CURVE_R_STICK_Y) {
            BuildCurveTable(255, 0, expected);
        } else {
            BuildCurveTable(k % 2 == 0 ? 85 : 0, k % 2 == 0 ? 171 : 0, expected);
        }
        EXPECT_EQ(memcmp(ctx->CurveTables[k], expected, 256), 0) << "table " << k;
    }
}

} // namespace
