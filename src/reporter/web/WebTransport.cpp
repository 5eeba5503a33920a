#include "reporter/web/WebTransport.h"

#include "platform/core/Dispatch.h"
#include "platform/core/ThreadHooks.h"
#include "reporter/web/CurlLibrary.h"

#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vxmweb {

namespace {

std::once_flag gInitOnce;

std::mutex gTrustMutex;
std::optional<std::string> gTrustFile;

// The transport thread. It lives for the rest of the process: completions may
// still be in flight at exit, so it is never torn down.
class Transport {
  public:
    Transport() : multi_(curlLibrary().multi_init()) {
        std::thread([this] {
            platform::threadDidStart();
            run();
        }).detach();
    }

    void add(CURL* easy, std::function<void(int)> done) {
        {
            std::lock_guard lock(mutex_);
            queued_.emplace_back(easy, std::move(done));
        }
        curlLibrary().multi_wakeup(multi_);
    }

  private:
    void run() {
        for (;;) {
            std::vector<std::pair<CURL*, std::function<void(int)>>> fresh;
            {
                std::lock_guard lock(mutex_);
                fresh.swap(queued_);
            }
            for (auto& [easy, done] : fresh) {
                CURLMcode mc = curlLibrary().multi_add_handle(multi_, easy);
                if (mc != CURLM_OK) {
                    done(CURLE_FAILED_INIT);
                    continue;
                }
                running_.emplace(easy, std::move(done));
            }
            int active = 0;
            curlLibrary().multi_perform(multi_, &active);
            int left = 0;
            while (CURLMsg* msg = curlLibrary().multi_info_read(multi_, &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                CURL* easy = msg->easy_handle;
                CURLcode rc = msg->data.result;
                curlLibrary().multi_remove_handle(multi_, easy);
                auto it = running_.find(easy);
                if (it == running_.end()) continue;
                auto done = std::move(it->second);
                running_.erase(it);
                done(rc);
            }
            // Woken early by add(); the time-out keeps curl's own timers and,
            // while transfers run, their idle checks going.
            curlLibrary().multi_poll(
                multi_, nullptr, 0,
                running_.empty() ? 1000 : static_cast<int>(kProgressInterval.count()), nullptr);
        }
    }

    CURLM* multi_;
    std::mutex mutex_;
    std::vector<std::pair<CURL*, std::function<void(int)>>> queued_;
    std::map<CURL*, std::function<void(int)>> running_;
};

Transport& transport() {
    static Transport* t = new Transport;
    return *t;
}

}  // namespace

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

}  // namespace

bool feedHeaderLine(HeaderBlock& block, std::string_view line) {
    if (line.starts_with("HTTP/")) {
        block = HeaderBlock{};
        // "HTTP/1.1 200 OK": the three digits after the first space.
        auto sp = line.find(' ');
        if (sp != std::string_view::npos) {
            unsigned long status = 0;
            size_t i = sp + 1;
            for (size_t n = 0; n < 3 && i < line.size() && line[i] >= '0' && line[i] <= '9';
                 ++n, ++i)
                status = status * 10 + static_cast<unsigned long>(line[i] - '0');
            block.status = status;
        }
        return false;
    }
    if (trim(line).empty()) return block.status >= 200;
    auto colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    std::string name(trim(line.substr(0, colon)));
    std::string value(trim(line.substr(colon + 1)));
    auto [it, fresh] = block.headers.emplace(name, value);
    if (!fresh) it->second += ", " + value;
    return false;
}

void initializeTransport() {
    std::call_once(gInitOnce, [] { curlLibrary().global_init(CURL_GLOBAL_DEFAULT); });
}

void startTransfer(CURL* easy, std::function<void(int)> done) {
    initializeTransport();
    transport().add(easy, std::move(done));
}

int performTransfer(CURL* easy) {
    initializeTransport();
    CURLM* multi = curlLibrary().multi_init();
    if (!multi) return CURLE_OUT_OF_MEMORY;
    if (curlLibrary().multi_add_handle(multi, easy) != CURLM_OK) {
        curlLibrary().multi_cleanup(multi);
        return CURLE_FAILED_INIT;
    }
    CURLcode result = CURLE_OK;
    for (bool done = false; !done;) {
        int active = 0;
        if (curlLibrary().multi_perform(multi, &active) != CURLM_OK) {
            result = CURLE_OUT_OF_MEMORY;
            break;
        }
        int left = 0;
        while (CURLMsg* msg = curlLibrary().multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            result = msg->data.result;
            done = true;
        }
        if (!done)
            curlLibrary().multi_poll(multi, nullptr, 0, static_cast<int>(kProgressInterval.count()),
                                     nullptr);
    }
    curlLibrary().multi_remove_handle(multi, easy);
    curlLibrary().multi_cleanup(multi);
    return result;
}

void dispatchCompletion(std::function<void()> work) {
    platform::globalQueue(platform::QueuePriority::Default)->async(std::move(work));
}

void setTrustedCertificatesFile(std::optional<std::string> path) {
    std::lock_guard lock(gTrustMutex);
    gTrustFile = std::move(path);
}

std::optional<std::string> trustedCertificatesFile() {
    std::lock_guard lock(gTrustMutex);
    return gTrustFile;
}

}  // namespace vxmweb
