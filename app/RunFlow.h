#pragma once
// The shell: settings and command line, configuration files, the run flow
// with its console command loop, and Services, the one seam to the
// subsystems. It runs on the entry thread. The callbacks it hands out (QUIC
// workers, the deployment receivers, the install prompt, the signal watcher)
// only record an end through ProcessEnd; the entry thread then shuts down in
// order, and the process exits by returning from main (a termination signal
// whose ordered shutdown is held up ends it from the shell, after a grace).

namespace app {
// The process entry: start-up, role and transport dispatch, the waits, the
// command loop or key wait, and the fixed shutdown orders. Returns the exit
// code: 0, or the one an end request carried (128 + a signal's number).
int RunVtr(int argc, const char* const* argv);

}  // namespace app
