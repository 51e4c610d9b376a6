// The width the engine runs at: capped by LimitVectorWidth, never above what the processor
// and the build offer, and SSE2 alone without wide steps.
#include <gtest/gtest.h>

#include "vector_widths.h"

namespace {

TEST(WideVectorsTest, ALimitCapsTheWidthAndSse2HasNoWideSteps) {
    const std::vector<VectorWidth> widths = AvailableVectorWidths();
    ASSERT_FALSE(widths.empty());
    EXPECT_EQ(widths.front(), VectorWidth::kSse2);
    for (VectorWidth width : widths) {
        ScopedVectorWidth use(width);
        const WideVectorSteps* steps = ActiveWideVectorSteps();
        if (width == VectorWidth::kSse2) {
            EXPECT_EQ(steps, nullptr);
            continue;
        }
        ASSERT_NE(steps, nullptr);
        EXPECT_EQ(steps->width, width);
        EXPECT_EQ(steps->doubleLanes, width == VectorWidth::kAvx2 ? 4u : 8u);
    }
    // Without a cap the engine takes the widest width there is.
    EXPECT_EQ(LimitVectorWidth(VectorWidth::kAvx512), widths.back());
}

}  // namespace
