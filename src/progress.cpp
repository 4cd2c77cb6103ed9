#include "progress.hpp"

#include <atomic>
#include <chrono>
#include <limits>

namespace quellnor {

namespace {

std::atomic<InterruptCheck> installed_check{nullptr};
std::atomic<LongWorkNotice> installed_notice{nullptr};
thread_local const std::atomic<bool>* helper_stop = nullptr;

// How many units a helper thread's Progress counts between looks at `stop`.
constexpr std::size_t kHelperUnitsPerLook = std::size_t{1} << 16;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void install_interrupt_check(InterruptCheck check) noexcept {
    installed_check.store(check, std::memory_order_relaxed);
}

void install_long_work_notice(LongWorkNotice notice) noexcept {
    installed_notice.store(notice, std::memory_order_relaxed);
}

OnHelperThread::OnHelperThread(const std::atomic<bool>& stop) noexcept { helper_stop = &stop; }

OnHelperThread::~OnHelperThread() { helper_stop = nullptr; }

void Progress::look() {
    if (helper_stop != nullptr) {
        left_ = kHelperUnitsPerLook;
        if (helper_stop->load(std::memory_order_relaxed)) throw Interrupted();
        return;
    }
    const InterruptCheck check = installed_check.load(std::memory_order_relaxed);
    if (check == nullptr) {
        left_ = std::numeric_limits<std::size_t>::max();
        return;
    }
    const std::int64_t now = now_ns();
    if (last_look_ < 0) {
        last_check_ = now;
        if (const LongWorkNotice notice = installed_notice.load(std::memory_order_relaxed)) notice();
    } else if (now - last_look_ < kLookEvery / 2) {
        if (units_per_look_ < std::numeric_limits<std::size_t>::max() / 2) units_per_look_ *= 2;
    } else if (now - last_look_ > 2 * kLookEvery && units_per_look_ > 1) {
        units_per_look_ /= 2;
    }
    last_look_ = now;
    left_ = units_per_look_;
    if (now - last_check_ < kCheckEvery) return;
    last_check_ = now;
    if (!check()) throw Interrupted();
}

}  // namespace quellnor
