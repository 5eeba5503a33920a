#include <gtest/gtest.h>

#include <QImage>
#include <future>

#include "app/AppIcon.h"

// The reporter asks for the icon on its own queue: the PNG must come out
// right off the GUI thread too.
TEST(AppIconPng, RendersOffTheGuiThread) {
    QByteArray png =
        std::async(std::launch::async, [] { return app::applicationIconPNG(256); }).get();
    ASSERT_TRUE(png.startsWith("\x89PNG\r\n\x1a\n"));
    QImage image;
    ASSERT_TRUE(image.loadFromData(png, "PNG"));
    EXPECT_EQ(image.size(), QSize(256, 256));
    EXPECT_EQ(image.pixelColor(5, 5).alpha(), 0);        // transparent corner
    EXPECT_EQ(image.pixelColor(128, 220).alpha(), 255);  // the folder
}
