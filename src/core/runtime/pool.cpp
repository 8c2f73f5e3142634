#include "runtime/pool.hpp"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace halyard {

std::optional<size_t> parse_thread_count(std::string_view text) {
    if (text.empty()) return std::nullopt;
    size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const size_t digit = static_cast<size_t>(c - '0');
        if (value > (std::numeric_limits<size_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value == 0) return std::nullopt;
    return value;
}

size_t configured_thread_count() {
    for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
        if (const char* text = std::getenv(name))
            if (auto count = parse_thread_count(text)) return *count;
    }
    const unsigned logical = std::thread::hardware_concurrency();
    return logical > 0 ? logical : 1;
}

namespace {

// The process's id: a forked child sees a different one.
long current_process_id() noexcept {
#if defined(_WIN32)
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

struct Job {
    size_t count = 0;
    void (*call)(void*, size_t) = nullptr;
    void* ctx = nullptr;
    std::atomic<size_t> next{0};
    // Guarded by the pool mutex:
    size_t finished = 0;  // tasks that have run
    size_t users = 0;     // workers currently holding a pointer to this job
    std::exception_ptr error;
};

}  // namespace

struct WorkerPool::State {
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable job_done;
    // Jobs with unclaimed tasks, oldest first: as many as callers waiting, so
    // a few at most. A vector keeps its room between jobs (a deque would
    // allocate and free a block every few dozen jobs).
    std::vector<Job*> queue;
    std::vector<std::thread> threads;

    void worker_loop() {
        std::unique_lock lock(mutex);
        for (;;) {
            work_ready.wait(lock, [&] { return !queue.empty(); });
            Job* job = queue.front();
            ++job->users;
            lock.unlock();

            size_t ran = 0;
            std::exception_ptr error;
            for (;;) {
                const size_t i = job->next.fetch_add(1, std::memory_order_relaxed);
                if (i >= job->count) break;
                try {
                    job->call(job->ctx, i);
                } catch (...) {
                    if (!error) error = std::current_exception();
                }
                ++ran;
            }

            lock.lock();
            // Every task of this job is claimed: no other worker should pick it up.
            if (!queue.empty() && queue.front() == job) queue.erase(queue.begin());
            if (error && !job->error) job->error = error;
            job->finished += ran;
            --job->users;
            if (job->users == 0 && job->finished == job->count) job_done.notify_all();
        }
    }
};

WorkerPool::WorkerPool(size_t threads) : state_(new State) {
    state_->threads.reserve(threads);
    for (size_t i = 0; i < threads; ++i) {
        try {
            state_->threads.emplace_back([s = state_] { s->worker_loop(); });
        } catch (...) {
            break;  // the system refused another thread: work with those we have
        }
    }
}

size_t WorkerPool::size() const noexcept { return state_->threads.size(); }

WorkerPool& WorkerPool::instance() {
    static std::mutex creation;
    static std::atomic<WorkerPool*> pool{nullptr};
    static std::atomic<long> owner{0};
    const long pid = current_process_id();
    WorkerPool* current = pool.load(std::memory_order_acquire);
    if (current && owner.load(std::memory_order_relaxed) == pid) return *current;
    std::lock_guard guard(creation);
    current = pool.load(std::memory_order_acquire);
    if (!current || owner.load(std::memory_order_relaxed) != pid) {
        // First use, or first use in a forked child whose workers did not
        // survive the fork: start a new pool (the old one is left alone).
        current = new WorkerPool(configured_thread_count());
        owner.store(pid, std::memory_order_relaxed);
        pool.store(current, std::memory_order_release);
    }
    return *current;
}

void WorkerPool::run_erased(size_t count, void (*call)(void*, size_t), void* ctx) {
    if (count == 0) return;
    if (state_->threads.empty()) {
        for (size_t i = 0; i < count; ++i) call(ctx, i);
        return;
    }
    Job job;
    job.count = count;
    job.call = call;
    job.ctx = ctx;
    {
        std::unique_lock lock(state_->mutex);
        state_->queue.push_back(&job);
        state_->work_ready.notify_all();
        state_->job_done.wait(lock, [&] { return job.users == 0 && job.finished == job.count; });
    }
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace halyard
