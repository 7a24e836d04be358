#pragma once

namespace app {
// The process entry: start-up, role and transport dispatch, the waits, the
// command loop or key wait, and the fixed shutdown orders.
int RunVtr(int argc, const char* const* argv);

}  // namespace app
