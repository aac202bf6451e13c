// Signals on POSIX systems: a run that a signal ends removes its unfinished copy first,
// and while a file is being finished such a signal waits until it is.
#include "platform/posix_signals.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace platform {

namespace {

// The catchable signals whose default action ends the run. SIGXFSZ is not among them: it
// is ignored, so that a write past a file-size limit fails like any other.
constexpr int ending_signals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGPIPE,   SIGALRM, SIGTERM,
                                  SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

// The unfinished file, for the signal handler. Changed only while the ending signals are
// deferred, so the handler never sees half a name.
char unfinished_file[longest_unfinished_path];

// How many ending_signals_deferred live, and the first signal that arrived meanwhile.
// Lock-free atomics are safe to use in a signal handler.
std::atomic<int> deferral_depth{0};
std::atomic<int> deferred_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Removes what the run has not finished, then lets `signal` end the run as it would have.
// Called from the handler, the signal stays blocked until the handler returns.
void end_run(int signal) {
    if (unfinished_file[0] != '\0')
        ::unlink(unfinished_file);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    ::sigaction(signal, &default_action, nullptr);
    ::raise(signal);
}

extern "C" void on_ending_signal(int signal) {
    if (deferral_depth.load() > 0) {
        int none = 0;
        deferred_signal.compare_exchange_strong(none, signal);
        return;
    }
    end_run(signal);
}

} // namespace

void set_unfinished_file(const std::string& path) {
    const ending_signals_deferred deferred;
    const std::size_t length = std::min(path.size(), sizeof unfinished_file - 1);
    std::memcpy(unfinished_file, path.data(), length);
    unfinished_file[length] = '\0';
}

// Interrupted calls restart, so that a deferred signal disturbs nothing.
void install_ending_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : ending_signals)
        sigaddset(&action.sa_mask, signal);
    for (const int signal : ending_signals) {
        struct sigaction previous {};
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            ::sigaction(signal, &action, nullptr);
    }
}

ending_signals_deferred::ending_signals_deferred() {
    deferral_depth.fetch_add(1);
}

ending_signals_deferred::~ending_signals_deferred() {
    if (deferral_depth.fetch_sub(1) != 1)
        return;
    if (const int signal = deferred_signal.exchange(0); signal != 0)
        end_run(signal);
}

} // namespace platform
