#pragma once
// One thread of a crash report, rebuilt from the record with its frames.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reporter/report/VXMStackFrame.h"

struct VXMThreadRegister {
    std::string name;
    uint64_t value = 0;
};

class VXMThread {
  public:
    // FrameImportance's IN_CRASHED_THREAD, also a thread's crashed mark.
    static constexpr uint32_t kCrashedImportance = 4;

    // POSIX thread name and dispatch queue name.
    const std::optional<std::string>& name() const { return name_; }
    void setName(std::optional<std::string> name) { name_ = std::move(name); }
    const std::optional<std::string>& queueName() const { return queueName_; }
    void setQueueName(std::optional<std::string> name) { queueName_ = std::move(name); }

    const std::vector<std::shared_ptr<VXMStackFrame>>& frames() const { return frames_; }
    void addFrame(std::shared_ptr<VXMStackFrame> frame) { frames_.push_back(std::move(frame)); }
    const std::vector<VXMThreadRegister>& registers() const { return registers_; }
    void addRegister(VXMThreadRegister reg) { registers_.push_back(std::move(reg)); }

    uint32_t importance() const { return importance_; }
    void setImportance(uint32_t importance) { importance_ = importance; }
    bool crashed() const { return (importance_ & kCrashedImportance) != 0; }
    void setCrashed(bool crashed) {
        importance_ =
            crashed ? importance_ | kCrashedImportance : importance_ & ~kCrashedImportance;
    }

  private:
    std::optional<std::string> name_;
    std::optional<std::string> queueName_;
    std::vector<std::shared_ptr<VXMStackFrame>> frames_;
    std::vector<VXMThreadRegister> registers_;
    uint32_t importance_ = 0;
};
