// Long calls, and the embedding program's chance to stop them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace quellnor {

// Whether a long call may go on. The embedding program installs one (the
// binding: has the interpreter a signal to handle?); the core only asks it,
// from whatever thread the call runs on, so that a check that needs a lock
// of the embedding program's can take it itself.
using InterruptCheck = bool (*)();
void install_interrupt_check(InterruptCheck check) noexcept;

// Told once per piece of work, on the thread doing it, when the work has
// run long enough to be worth running beside other threads (the binding
// lets go of the interpreter lock there). Called only while an interrupt
// check is installed, right before the first look at the clock.
using LongWorkNotice = void (*)();
void install_long_work_notice(LongWorkNotice notice) noexcept;

// Marks, for its lifetime, the calling thread as one the core started to run
// work beside a caller's thread. The installed check and notice are not for
// such a thread (they may take or let go of the embedding program's lock,
// which it does not hold): its Progress asks `stop` instead, which the
// caller's thread sets when its own part ends early.
class OnHelperThread {
public:
    explicit OnHelperThread(const std::atomic<bool>& stop) noexcept;
    ~OnHelperThread();
    OnHelperThread(const OnHelperThread&) = delete;
    OnHelperThread& operator=(const OnHelperThread&) = delete;
};

// Thrown out of a long call when the installed check said stop. Whatever
// the check wants to report (a pending KeyboardInterrupt) it keeps itself.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// The progress of one long piece of work, counted in units of the caller's
// choosing (nodes entered, values read). Counting is a subtraction; every
// so many units it looks at the clock, and once kCheckEvery has passed since
// the last check it asks the installed check, which may end the call. How
// many units go between looks adapts to what a unit costs, so that the clock
// is read about every kLookEvery however cheap or dear the units are. With
// no check installed it never reads the clock.
class Progress {
public:
    [[gnu::always_inline]] void advance(std::size_t units = 1) {
        if (units >= left_) [[unlikely]]
            return look();
        left_ -= units;
    }

private:
    [[gnu::noinline]] void look();

    static constexpr std::int64_t kLookEvery = 1'000'000;   // ns
    static constexpr std::int64_t kCheckEvery = 50'000'000;  // ns
    // Also when the long-work notice comes: a d=2 query on a large index
    // visits a few thousand slots, and only one that lets go of the lock
    // this early leaves most of its walk to run beside other threads
    // (bench/serving.py: 1.07 times one thread's rate at 1,024 units, 1.8 at
    // 256). Letting go and taking back costs well under a microsecond.
    static constexpr std::size_t kFirstUnits = 256;

    std::size_t left_ = kFirstUnits;
    std::size_t units_per_look_ = kFirstUnits;
    std::int64_t last_look_ = -1;  // ns on the steady clock; -1 before the first look
    std::int64_t last_check_ = 0;
};

}  // namespace quellnor
