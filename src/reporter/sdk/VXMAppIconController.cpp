#include "reporter/sdk/VXMAppIconController.h"

#include "reporter/VXMSafe.h"

VXMIcon::VXMIcon(std::vector<uint8_t> data, double width, double height, bool prerendered)
    : data_(std::move(data)),
      dataHash_(VXMHashBytes(data_.data(), data_.size())),
      width_(width),
      height_(height),
      prerendered_(prerendered) {}

VXMIcon::VXMIcon(std::vector<uint8_t> data, std::string dataHash, double width, double height,
                 bool prerendered)
    : data_(std::move(data)),
      dataHash_(std::move(dataHash)),
      width_(width),
      height_(height),
      prerendered_(prerendered) {}

void VXMAppIconController::setRenderer(Renderer renderer) {
    std::lock_guard lock(mutex_);
    renderer_ = std::move(renderer);
}

std::optional<VXMIcon> VXMAppIconController::applicationIcon() {
    std::lock_guard lock(mutex_);
    if (cached_ || !renderer_) return cached_;
    std::optional<VXMIconImage> image;
    try {
        image = renderer_();
    } catch (...) {
        // A failed rendering is no icon.
    }
    if (image && !image->png.empty())
        cached_.emplace(std::move(image->png), image->width, image->height, true);
    return cached_;
}
