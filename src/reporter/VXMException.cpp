#include "reporter/VXMException.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <typeinfo>

#include "reporter/VXMContext.h"
#include "reporter/VXMSafe.h"

namespace {

void freeFrames(VXMFrame* frames, uint32_t count) {
    if (!frames) return;
    for (uint32_t i = 0; i < count; ++i) {
        free(const_cast<char*>(frames[i].symbol));
        free(const_cast<char*>(frames[i].fileName));
    }
    free(frames);
}

std::string currentExceptionTypeName() {
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (!type) return "std::terminate";
    int status = 0;
    char* demangled = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : type->name();
    free(demangled);
    return name;
}

}  // namespace

void VXMExceptionInitialize(VXMExceptionData* data) {
    // The first backtrace loads the unwinder; do it now rather than while
    // the process is going down.
    void* warm[1];
    backtrace(warm, 1);
    std::terminate_handler previous = std::set_terminate(VXMExceptionHandler);
    data->previousHandler = previous == VXMExceptionHandler ? nullptr : previous;
}

void VXMRecordException(VXMExceptionData* data, const char* name, const char* reason,
                        VXMFrame* frames, uint32_t count) {
    if (!data) {
        freeFrames(frames, count);
        return;
    }
    // The crash handler reads without a lock: hide the frames while they
    // change, then publish the count.
    uint32_t oldCount = data->frameCount.exchange(0);
    VXMFrame* oldFrames = data->frames.exchange(frames);
    data->frameCount.store(frames ? count : 0);
    freeFrames(oldFrames, oldCount);
    free(data->name.exchange(name ? strdup(name) : nullptr));
    std::string cut = reason ? std::string(reason) : std::string();
    cut.resize(VXMEscapedPrefixLength(cut.data(), cut.size(), VXMStringLimit));
    free(data->reason.exchange(reason ? strdup(cut.c_str()) : nullptr));
}

void VXMExceptionRecordCurrent(VXMExceptionData* data) {
    std::string name = currentExceptionTypeName();
    std::string reason;
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
        }
    } else {
        reason = "terminate called without an active exception";
    }
    void* addresses[128];
    int count = backtrace(addresses, 128);
    VXMFrame* frames = nullptr;
    if (count > 0) {
        frames = static_cast<VXMFrame*>(calloc(static_cast<size_t>(count), sizeof(VXMFrame)));
        for (int i = 0; frames && i < count; ++i)
            frames[i].address = reinterpret_cast<uintptr_t>(addresses[i]);
    }
    VXMRecordException(data, name.c_str(), VXMPercentEscape(reason).c_str(), frames,
                       frames ? static_cast<uint32_t>(count) : 0);
}

void VXMExceptionHandler() {
    VXMWritableContext* writable = vxmContext.writable;
    std::terminate_handler previous = nullptr;
    if (writable) {
        VXMExceptionRecordCurrent(&writable->exception);
        previous = writable->exception.previousHandler;
    }
    if (previous && previous != VXMExceptionHandler) {
        // A handler is skipped only when it is known to be one that must not
        // run twice; an unknown one (no symbol) still runs.
        bool skip = false;
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(previous), &info) && info.dli_sname)
            skip = strcmp(info.dli_sname, "TFHandleExceptions") == 0;
        if (!skip) previous();
    }
    abort();
}

void VXMRecordCustomException(const std::string& name, const std::string& reason,
                              const std::vector<VXMStackFrameInput>& frames) {
    if (!VXMContextIsInitialized()) return;
    VXMContextQueueSync([&] {
        VXMFrame* copies = nullptr;
        if (!frames.empty()) {
            copies = static_cast<VXMFrame*>(calloc(frames.size(), sizeof(VXMFrame)));
            for (size_t i = 0; copies && i < frames.size(); ++i) {
                copies[i].address = frames[i].address;
                copies[i].symbol = strdup(frames[i].symbol.c_str());
                copies[i].fileName = strdup(frames[i].fileName.c_str());
                copies[i].lineNumber = frames[i].lineNumber;
            }
        }
        VXMRecordException(&vxmContext.writable->exception, name.c_str(),
                           VXMPercentEscape(reason).c_str(), copies,
                           copies ? static_cast<uint32_t>(frames.size()) : 0);
    });
}

void VXMExceptionSafeWriteData(const VXMExceptionData* data, VXMFile* file) {
    VXMFileWriteSectionStart(file, "exception");
    VXMFileWriteHashStart(file);
    const char* name = data ? data->name.load() : nullptr;
    const char* reason = data ? data->reason.load() : nullptr;
    uint32_t count = data ? data->frameCount.load() : 0;
    const VXMFrame* frames = data ? data->frames.load() : nullptr;
    if (!frames) count = 0;
    if (name || reason || count) {
        VXMFileWriteHashEntryString(file, "name", name);
        VXMFileWriteHashEntryString(file, "reason", reason);
        if (count) {
            VXMFileWriteHashKey(file, "backtrace");
            VXMFileWriteArrayStart(file);
            for (uint32_t i = 0; i < count; ++i) VXMFrameSafeWriteData(&frames[i], file);
            VXMFileWriteArrayEnd(file);
        }
    }
    VXMFileWriteHashEnd(file);
    VXMFileWriteSectionEnd(file);
}

void VXMExceptionCheckHandlers() {
    std::terminate_handler current = std::get_terminate();
    if (current == VXMExceptionHandler) return;
    VXMLookupFunctionPointer(
        reinterpret_cast<const void*>(current), [](const char* symbol, const char* image) {
            VXMDebugLog("[Vexmor] Warning: NSUncaughtExceptionHandler is '%s' in '%s'",
                        symbol ? symbol : "(null)", image ? image : "(null)");
        });
}
