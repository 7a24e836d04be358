#include "platform/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {
// Nice steps added: a thread this far below its neighbours gets about a
// tenth of a core they also want, and all of an idle one.
constexpr int kLowerBy = 10;
}  // namespace

bool LowerThisThreadsPriority() {
    // On Linux a thread has its own nice value, addressed by its thread id.
    const auto self = static_cast<id_t>(gettid());
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, self);
    if (now == -1 && errno != 0)
        return false;
    return setpriority(PRIO_PROCESS, self, now + kLowerBy) == 0;
}

}  // namespace platform
