#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "reporter/sdk/VXMAppIconController.h"
#include "support/TempDir.h"

TEST(VXMIcon, SurfaceAreaLimit) {
    const struct {
        double width, height;
        bool within;
    } cases[] = {{1024, 1024, true}, {1025, 1024, false}, {512, 2048, true}, {0, 0, true}};
    for (const auto& c : cases)
        EXPECT_EQ(VXMIcon({1, 2}, c.width, c.height).isWithinMaxSurfaceArea(), c.within)
            << c.width << "x" << c.height;
    EXPECT_TRUE(VXMIcon({1}, 10, 10).largerThanSize(9, 11));
    EXPECT_FALSE(VXMIcon({1}, 10, 10).largerThanSize(10, 10));
}

TEST(VXMAppIconController, HashIsTheSHA1OfThePNGAndTheFirstIconIsKept) {
    // A real PNG (the smallest: 1×1) and sha1sum as the oracle.
    const std::vector<uint8_t> png = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
        0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
        0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
        0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0xf0, 0x1f, 0x00, 0x05, 0x00, 0x01, 0xff, 0x89, 0x99,
        0x3d, 0x1d, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "icon.png", std::string(png.begin(), png.end()));
    const std::string command = "sha1sum '" + (dir / "icon.png").string() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    char hex[41] = {};
    ASSERT_EQ(fread(hex, 1, 40, pipe), 40u);
    pclose(pipe);

    VXMAppIconController controller;
    EXPECT_FALSE(controller.applicationIcon());  // no renderer, no icon
    int calls = 0;
    controller.setRenderer([&]() -> std::optional<VXMIconImage> {
        if (++calls == 1) return std::nullopt;  // not yet: asked again next time
        return VXMIconImage{png, 1, 1};
    });
    EXPECT_FALSE(controller.applicationIcon());
    auto icon = controller.applicationIcon();
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->dataHash(), std::string(hex));
    EXPECT_EQ(icon->data(), png);
    EXPECT_TRUE(icon->prerendered());
    controller.applicationIcon();
    EXPECT_EQ(calls, 2);
}
