#pragma once
// One frame of a thread or exception backtrace as the report builder and the
// developer-recorded exceptions carry it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class VXMStackFrame {
  public:
    static std::shared_ptr<VXMStackFrame> stackFrame();
    static std::shared_ptr<VXMStackFrame> stackFrameWithAddress(uint64_t address);

    const std::optional<std::string>& symbol() const { return symbol_; }
    void setSymbol(std::optional<std::string> symbol) { symbol_ = std::move(symbol); }
    const std::optional<std::string>& fileName() const { return fileName_; }
    void setFileName(std::optional<std::string> fileName) { fileName_ = std::move(fileName); }
    uint64_t lineNumber() const { return lineNumber_; }
    void setLineNumber(uint64_t lineNumber) { lineNumber_ = lineNumber; }
    // Distance of the address from the start of its symbol.
    uint64_t offset() const { return offset_; }
    void setOffset(uint64_t offset) { offset_ = offset; }
    uint64_t address() const { return address_; }
    void setAddress(uint64_t address) { address_ = address; }
    // FrameImportance bits.
    uint32_t importance() const { return importance_; }
    void setImportance(uint32_t importance) { importance_ = importance; }

    // "{[0x<address>] <file> - <symbol>:<line>}" with a file name, else
    // "{[0x<address> + <line>] <symbol>}"; a missing text reads "(null)".
    std::string description() const;

  private:
    std::optional<std::string> symbol_;
    std::optional<std::string> fileName_;
    uint64_t lineNumber_ = 0;
    uint64_t offset_ = 0;
    uint64_t address_ = 0;
    uint32_t importance_ = 0;
};
