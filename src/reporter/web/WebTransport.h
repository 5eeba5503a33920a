#pragma once
// The libcurl side of the web client (internal to reporter/web).

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "reporter/web/VXMWebRequest.h"

typedef void CURL;

namespace vxmweb {

// The header block of a response as it arrives, line by line; a status line
// (an interim answer, a redirect hop) starts a new block.
struct HeaderBlock {
    unsigned long status = 0;
    VXMHeaderMap headers;  // repeated names joined with ", "
};
// Takes one raw header line. True when it ended a final (non-1xx) block.
bool feedHeaderLine(HeaderBlock& block, std::string_view line);

// curl_global_init, once per process. Runs early (the crash reporter calls it
// before it installs its signal handlers) because it is not thread-safe.
void initializeTransport();

// Queues `easy` on the one transport thread, which drives every asynchronous
// transfer through a curl multi handle; `done` runs on that thread with the
// transfer's result once it has ended, after the handle left the multi handle.
void startTransfer(CURL* easy, std::function<void(int curlCode)> done);

// Runs `easy` to its end on the calling thread; the curl result. The loop
// wakes at least every kProgressInterval, so that the idle check of a
// transfer's progress callback runs on time even when nothing moves.
int performTransfer(CURL* easy);
inline constexpr std::chrono::milliseconds kProgressInterval{100};

// Runs `work` on the global concurrent queue of default priority.
void dispatchCompletion(std::function<void()> work);

// Tests only: certificates trusted in place of the system store (checks stay on).
void setTrustedCertificatesFile(std::optional<std::string> path);
std::optional<std::string> trustedCertificatesFile();

}  // namespace vxmweb
