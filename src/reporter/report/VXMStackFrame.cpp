#include "reporter/report/VXMStackFrame.h"

#include <cinttypes>
#include <cstdio>

std::shared_ptr<VXMStackFrame> VXMStackFrame::stackFrame() {
    return std::make_shared<VXMStackFrame>();
}

std::shared_ptr<VXMStackFrame> VXMStackFrame::stackFrameWithAddress(uint64_t address) {
    auto frame = std::make_shared<VXMStackFrame>();
    frame->setAddress(address);
    return frame;
}

std::string VXMStackFrame::description() const {
    const std::string symbol = symbol_.value_or("(null)");
    char head[64];
    if (fileName_) {
        std::snprintf(head, sizeof head, "{[0x%" PRIx64 "] ", address_);
        return head + *fileName_ + " - " + symbol + ":" + std::to_string(lineNumber_) + "}";
    }
    std::snprintf(head, sizeof head, "{[0x%" PRIx64 " + %" PRIu64 "] ", address_, lineNumber_);
    return head + symbol + "}";
}
