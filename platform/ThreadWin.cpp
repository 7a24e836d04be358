#include <windows.h>

#include "platform/Thread.h"

namespace platform {

bool LowerThisThreadsPriority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL) != 0;
}

}  // namespace platform
