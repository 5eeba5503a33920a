#pragma once
// Uncaught C++ exceptions: a terminate handler records the exception into the
// crash context, calls the handler that was there before, and the abort that
// follows writes the record with its "exception" section filled.

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "reporter/VXMFile.h"

struct VXMExceptionData {
    std::terminate_handler previousHandler = nullptr;
    std::atomic<char*> name{nullptr};
    std::atomic<char*> reason{nullptr};
    std::atomic<uint32_t> frameCount{0};
    std::atomic<VXMFrame*> frames{nullptr};
};

// A frame of a developer-recorded exception.
struct VXMStackFrameInput {
    uint64_t address = 0;
    std::string symbol;
    std::string fileName;
    uint32_t lineNumber = 0;
};

void VXMExceptionInitialize(VXMExceptionData* data);
void VXMExceptionHandler();
// Records the exception being handled (std::current_exception) with the
// return addresses of the current stack.
void VXMExceptionRecordCurrent(VXMExceptionData* data);
// Replaces the recorded exception; takes ownership of `frames` (malloc'ed).
void VXMRecordException(VXMExceptionData* data, const char* name, const char* reason,
                        VXMFrame* frames, uint32_t count);
void VXMRecordCustomException(const std::string& name, const std::string& reason,
                              const std::vector<VXMStackFrameInput>& frames);
void VXMExceptionSafeWriteData(const VXMExceptionData* data, VXMFile* file);
void VXMExceptionCheckHandlers();
