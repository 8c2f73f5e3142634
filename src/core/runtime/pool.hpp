// The process-wide pool of worker threads.
//
// Created on first use and sized once per process: RAYON_NUM_THREADS when it
// holds a positive decimal number, else RAYON_RS_NUM_CPUS read the same way,
// else the number of logical processors. A caller hands the pool a batch of
// independent tasks and blocks until all of them ran; idle workers take the
// next unclaimed task, so uneven tasks balance themselves. Workers run plain
// C++ only: they never touch Python objects.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace halyard {

// A positive decimal number (digits only, no sign or spaces, fits size_t), or nothing.
std::optional<size_t> parse_thread_count(std::string_view text);
// The pool size the environment asks for (see above).
size_t configured_thread_count();

class WorkerPool {
public:
    // The process's pool; created on first call. A child process created by
    // fork() gets a fresh pool of its own on first use.
    static WorkerPool& instance();

    // Number of worker threads (may be fewer than configured if the system
    // refused to start more; with none, tasks run on the calling thread).
    size_t size() const noexcept;

    // Runs task(i) for every i in [0, count) and returns when all have run.
    // If tasks throw, the first exception is rethrown here after the rest finished.
    template <class F>
    void run(size_t count, F&& task) {
        using Fn = std::remove_reference_t<F>;
        run_erased(count, [](void* ctx, size_t i) { (*static_cast<Fn*>(ctx))(i); },
                   const_cast<void*>(static_cast<const void*>(&task)));
    }

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

private:
    struct State;
    explicit WorkerPool(size_t threads);
    void run_erased(size_t count, void (*call)(void*, size_t), void* ctx);

    State* state_;  // never freed: the pool lives until the process ends
};

}  // namespace halyard
