// A POSIX program's messages outlive it in the terminal or the file they went to: no run
// ever waits before it ends.
#include "platform/platform.hpp"

namespace platform {

bool console_closes_with_run() {
    return false;
}

void wait_for_key() {}

} // namespace platform
