#pragma once
// The application's icon as PNG bytes with its SHA-1, rendered once. The
// reporter has no toolkit: the application hands in a renderer (its icon
// drawn to PNG through Qt).

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class VXMIcon {
  public:
    // The hash is the SHA-1 (lower-case hex) of the PNG bytes.
    VXMIcon(std::vector<uint8_t> data, double width, double height, bool prerendered = true);
    VXMIcon(std::vector<uint8_t> data, std::string dataHash, double width, double height,
            bool prerendered);

    const std::vector<uint8_t>& data() const { return data_; }
    const std::string& dataHash() const { return dataHash_; }
    double width() const { return width_; }
    double height() const { return height_; }
    bool prerendered() const { return prerendered_; }
    double surfaceArea() const { return width_ * height_; }
    // At most 1024 × 1024.
    bool isWithinMaxSurfaceArea() const { return surfaceArea() <= 1024.0 * 1024.0; }
    bool largerThanSize(double width, double height) const {
        return surfaceArea() > width * height;
    }

  private:
    std::vector<uint8_t> data_;
    std::string dataHash_;
    double width_, height_;
    bool prerendered_;
};

// What a renderer gives: PNG bytes and the image's size in points.
struct VXMIconImage {
    std::vector<uint8_t> png;
    double width = 0;
    double height = 0;
};

class VXMAppIconController {
  public:
    using Renderer = std::function<std::optional<VXMIconImage>()>;

    void setRenderer(Renderer renderer);
    // The first icon obtained is kept; until then each call renders again.
    std::optional<VXMIcon> applicationIcon();

  private:
    std::mutex mutex_;
    Renderer renderer_;
    std::optional<VXMIcon> cached_;
};
