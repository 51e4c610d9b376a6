// The Win32 layer's own arithmetic: the command-line tail the elevation relaunch and the
// switches are read from, the DIB rows the screen gets, centring and the tray record's size.
#include <gtest/gtest.h>

#include "raster.h"
#include "win32_layout.h"

namespace {

TEST(CommandLineTail, IsWhatFollowsTheProgramName) {
    const struct {
        std::u16string line, tail;
    } cases[] = {
        {u"\"C:\\Windows\\system32\\QX_AudioControl.exe\" -QEXNOUI", u"-QEXNOUI"},
        {u"\"C:\\Program Files\\QX AudioControl.exe\"   -QEXNOUI -QEXUAC", u"-QEXNOUI -QEXUAC"},
        {u"QX_AudioControl.exe -QEXUAC", u"-QEXUAC"},
        {u"  QX_AudioControl.exe\t\t-QEXUAC ", u"-QEXUAC "},
        {u"\"C:\\a b\\QX_AudioControl.exe\"", u""},
        {u"QX_AudioControl.exe", u""},
        {u"", u""},
        // An unclosed quote takes the whole line as the program's name.
        {u"\"C:\\a b\\QX_AudioControl.exe -QEXUAC", u""},
        // The program's name alone never counts as a switch: only the arguments do.
        {u"C:\\-QEXUAC\\QX_AudioControl.exe", u""},
        {u"\"C:\\x\\QX_AudioControl.exe\"-QEXUAC", u"-QEXUAC"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CommandLineTailOf(c.line), c.tail);
}

TEST(DibRows, CarryTheRasterTopDownWithPaddedRows) {
    for (int width : {1, 2, 3, 4, 5, 640}) {
        Raster picture(width, 3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < width; ++x)
                picture.Set(x, y,
                            {static_cast<uint8_t>(x), static_cast<uint8_t>(y * 50 + 1),
                             static_cast<uint8_t>(200 - x % 100)});
        const size_t stride = DibStride(width);
        ASSERT_EQ(stride % 4, 0u);
        ASSERT_GE(stride, static_cast<size_t>(width) * 3);
        ASSERT_LT(stride, static_cast<size_t>(width) * 3 + 4);
        std::vector<uint8_t> bits(stride * 3, 0xAB);
        CopyToDibRows(picture, bits.data(), stride);
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < width; ++x) {
                const uint8_t* p = &bits[stride * y + 3 * x];
                const Rgb c = picture.At(x, y);
                EXPECT_EQ(p[0], c.b);
                EXPECT_EQ(p[1], c.g);
                EXPECT_EQ(p[2], c.r);
            }
            for (size_t pad = static_cast<size_t>(width) * 3; pad < stride; ++pad)
                EXPECT_EQ(bits[stride * y + pad], 0) << "width " << width;
        }
    }
    EXPECT_EQ(DibStride(0), 0u);
    EXPECT_EQ(DibStride(-4), 0u);
}

TEST(Centring, PlacesTheWindowInTheWorkAreaMiddle) {
    const struct {
        int left, top, right, bottom, w, h, x, y;
    } cases[] = {
        {0, 0, 1024, 768, 640, 480, 192, 144},
        {0, 0, 1024, 738, 640, 480, 192, 129},  // a taskbar below
        {100, 30, 1380, 1024, 640, 480, 420, 287},
        {0, 0, 600, 400, 640, 480, 0, 0},  // larger than the work area: its corner stays in
    };
    for (const auto& c : cases) {
        int x = -1, y = -1;
        CentredOrigin(c.left, c.top, c.right, c.bottom, c.w, c.h, &x, &y);
        EXPECT_EQ(x, c.x);
        EXPECT_EQ(y, c.y);
    }
}

TEST(TrayRecord, SizeFollowsTheSystemAndThePointerWidth) {
    EXPECT_EQ(TrayRecordSize(false, 6), 956u);
    EXPECT_EQ(TrayRecordSize(true, 6), 976u);
    EXPECT_EQ(TrayRecordSize(false, 10), 956u);
    EXPECT_EQ(TrayRecordSize(false, 5), 952u);
    EXPECT_EQ(TrayRecordSize(true, 5), 968u);
}

}  // namespace
