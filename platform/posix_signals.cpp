// Signals on POSIX systems: a run that a signal ends removes its unfinished copy and
// syncs the names it made first, and while a file is being finished such a signal waits
// until it is.
#include "platform/posix_signals.hpp"
#include "platform/platform.hpp"
#include "platform/posix_fast_paths.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
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
dev_t unfinished_device = 0;
ino_t unfinished_number = 0;

// The folder of the last names made, not yet synced; -1: none.
std::atomic<int> unsynced_folder{-1};

// How many ending_signals_deferred live, and the first signal that arrived meanwhile.
// Lock-free atomics are safe to use in a signal handler.
std::atomic<int> deferral_depth{0};
std::atomic<int> deferred_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Removes what the run has not finished and syncs the names it made, then lets `signal`
// end the run as it would have. Called from the handler, the signal stays blocked until
// the handler returns. Another program may have put a file of its own under the name:
// that one stays.
void end_run(int signal) {
    struct stat named;
    if (unfinished_file[0] != '\0' &&
        ::fstatat(AT_FDCWD, unfinished_file, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == unfinished_device && named.st_ino == unfinished_number)
        ::unlink(unfinished_file);
    if (const int folder = unsynced_folder.load(); folder >= 0)
        fast::sync_folder(folder);
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

void set_unfinished_file(const std::string& path, const struct stat& status) {
    const ending_signals_deferred deferred;
    const std::size_t length = std::min(path.size(), sizeof unfinished_file - 1);
    std::memcpy(unfinished_file, path.data(), length);
    unfinished_file[length] = '\0';
    unfinished_device = status.st_dev;
    unfinished_number = status.st_ino;
}

// The first folder is set while signals are deferred, which sets up their handling.
void set_unsynced_folder(int fd) {
    const ending_signals_deferred deferred;
    unsynced_folder.store(fd);
}

namespace {

// Catches the signals that end the run, except those that the caller chose to ignore:
// each is asked first, since setting a handler and then putting back SIG_IGN would let
// an ignored signal end the run in between. Interrupted calls restart, so that a
// deferred signal disturbs nothing.
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

} // namespace

// The handlers are set up by the first deferral of the run, the first moment there is
// something to defer or to clean up; a signal from then on is deferred until it goes.
ending_signals_deferred::ending_signals_deferred() {
    static bool handlers_installed = false;
    deferral_depth.fetch_add(1);
    if (!handlers_installed) {
        handlers_installed = true;
        install_ending_signal_handlers();
    }
}

ending_signals_deferred::~ending_signals_deferred() {
    if (deferral_depth.fetch_sub(1) != 1)
        return;
    if (const int signal = deferred_signal.exchange(0); signal != 0)
        end_run(signal);
}

} // namespace platform
