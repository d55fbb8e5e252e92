#include <gtest/gtest.h>

#include <string>

#include "core/types.h"
#include "kestrune/nn.h"

namespace {

struct StatusCase {
    int code;
    const char* text;
};

const StatusCase kStatusCases[] = {
    {0, "success"},
    {1, "internal error"},
    {2, "invalid handle"},
    {3, "out of memory"},
    {4, "out of resources"},
    {5, "not implemented"},
    {6, "invalid parameter"},
    {7, "type mismatch"},
    {8, "shape mismatch"},
    {9, "invalid shape"},
    {10, "invalid ordering"},
    {11, "invalid axis"},
    {12, "missing resource"},
    {13, "invalid engine"},
    {14, "tensor no data"},
    {15, "kernel missing"},
    {16, "tensor type unsupported"},
    {17, "too many inputs"},
    {18, "system error"},
    {19, "invalid layer"},
    {20, "invalid model"},
    {21, "missing model"},
    {22, "string too large"},
    {23, "invalid quantization parameters"},
};

TEST(Status, EveryCodeHasItsText)
{
    for (const auto& c : kStatusCases) {
        ASSERT_NE(nn_strerror(c.code), nullptr) << c.code;
        EXPECT_EQ(std::string(nn_strerror(c.code)), c.text) << c.code;
    }
}

TEST(Status, CodesOutsideTheTableHaveNoText)
{
    for (int code : {24, 100, -1, -24, 1 << 30})
        EXPECT_EQ(nn_strerror(code), nullptr) << code;
}

TEST(Version, SameStaticText)
{
    const char* a = nn_version();
    EXPECT_STREQ(a, "2.4.25");
    EXPECT_EQ(a, nn_version());
    EXPECT_EQ(nn_init(), 0);
}

TEST(TypeTable, SizesAndNames)
{
    const size_t sizes[] = {1, 1, 1, 1, 2, 2, 4, 4, 8, 8, 2, 4, 8, 0, 0};
    const char* names[] = {"RAW", "STR", "I8",  "U8",  "I16", "U16", "I32",
                           "U32", "I64", "U64", "F16", "F32", "F64"};
    for (uint32_t t = 0; t < 15; ++t) {
        EXPECT_EQ(nn_type_size(t), sizes[t]) << t;
        if (t < 13)
            EXPECT_STREQ(nn_type_name(t), names[t]);
        else
            EXPECT_EQ(nn_type_name(t), nullptr);
    }
    EXPECT_EQ(nn_type_size(0xFFFFFFFFu), 0u);
}

}  // namespace
