#pragma once
// Time stamps of log lines: local time to the second in a sink's own format,
// then the milliseconds. Lines come in runs within one second, so the local
// time and its text are made once per second and kept for the next line (a
// change of time zone made within a second shows from the next one).

#include <chrono>
#include <cstddef>
#include <ctime>
#include <string_view>

namespace lg_detail {

class LGTimestampCache {
  public:
    // Writes the text for the whole second `local` to `out` (snprintf's
    // contract: `size` bytes at most, returns the length it wanted).
    using SecondFormat = int (*)(char* out, std::size_t size, const std::tm& local);

    explicit LGTimestampCache(SecondFormat format) : format_(format) {}

    // The second's text followed by three digits of milliseconds; valid until
    // the next call.
    std::string_view stamp(std::chrono::system_clock::time_point t) {
        auto since = t.time_since_epoch();
        auto secs = std::chrono::floor<std::chrono::seconds>(since);
        auto ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(since - secs).count());
        if (!valid_ || secs.count() != second_) {
            time_t tt = static_cast<time_t>(secs.count());
            std::tm local{};
            localtime_r(&tt, &local);
            int n = format_(text_, kSecondCapacity + 1, local);
            length_ = n < 0 ? 0 : n > int(kSecondCapacity) ? kSecondCapacity : std::size_t(n);
            second_ = secs.count();
            valid_ = true;
        }
        text_[length_] = static_cast<char>('0' + ms / 100);
        text_[length_ + 1] = static_cast<char>('0' + ms / 10 % 10);
        text_[length_ + 2] = static_cast<char>('0' + ms % 10);
        return {text_, length_ + 3};
    }

  private:
    // Room for six full ints and their separators.
    static constexpr std::size_t kSecondCapacity = 95;
    SecondFormat format_;
    bool valid_ = false;
    std::chrono::seconds::rep second_ = 0;
    std::size_t length_ = 0;
    char text_[kSecondCapacity + 3];
};

}  // namespace lg_detail
