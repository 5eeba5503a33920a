#include <gtest/gtest.h>

#include "app/browser/QVBrowserCells.h"

namespace {

TEST(BrowserCells, BrowserRowGeometry) {
    struct Case {
        QRect frame;
        QRect image, title, text;
    };
    const Case cases[] = {
        {{0, 0, 200, 20}, {4, 2, 16, 16}, {22, 0, 178, 20}, {22, 1, 178, 19}},
        {{10, 40, 150, 18}, {14, 41, 16, 16}, {32, 40, 128, 18}, {32, 41, 128, 17}},
        {{10, 40, 150, 17}, {14, 40, 16, 16}, {32, 40, 128, 17}, {32, 41, 128, 16}},
        // Lower than the icon: truncated toward zero, not floored.
        {{0, 100, 100, 13}, {4, 99, 16, 16}, {22, 100, 78, 13}, {22, 101, 78, 12}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame.height());
        EXPECT_EQ(browsercell::imageRect(c.frame), c.image);
        EXPECT_EQ(browsercell::titleRect(c.frame), c.title);
        EXPECT_EQ(browsercell::textRect(c.frame), c.text);
    }
}

TEST(BrowserCells, SidebarRowGeometryHeadingsAndOpacity) {
    const QRect frame(0, 20, 180, 21);
    QRect strip(0, 20, 19, 21);
    EXPECT_EQ(sidebarcell::imageRect(strip, {16, 16}), QRect(10, 23, 16, 16));  // ceil(5 / 2)
    EXPECT_EQ(sidebarcell::titleRect(frame, 16), QRect(31, 22, 161, 17));
    EXPECT_EQ(sidebarcell::titleRect(frame, -1), QRect(15, 22, 177, 17));
    EXPECT_EQ(sidebarcell::headingRect(frame, 14), QRect(0, 23, 180, 15));  // floor(7 / 2)

    EXPECT_TRUE(sidebarcell::isGroupCell(false, "FOLDERS"));
    EXPECT_FALSE(sidebarcell::isGroupCell(false, ""));
    EXPECT_FALSE(sidebarcell::isGroupCell(true, "box"));
    EXPECT_EQ(sidebarcell::iconOpacity(false), 0.5);
    EXPECT_EQ(sidebarcell::iconOpacity(true), 1.0);
}

}  // namespace
