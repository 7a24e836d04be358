#pragma once
// The operating-system services, and nothing above them, with a POSIX back
// end (Linux) and a Windows one (the *Win.cpp files) chosen at build time
// behind the same headers: the console, text conversions, files, paths and
// environment, child processes, the desktop's dialogs (Windows only;
// elsewhere the console serves),
// threads (ThreadSet owns per-connection threads), a bounded byte queue
// between two threads, termination signals and descriptor ownership. No file here starts a thread
// of its own except TerminationSignals, whose watcher it owns and joins; the
// rest runs on whichever thread calls it, and the few process-wide pieces
// (console output and input, the dialog being shown) keep their lock beside
// them.
#include "platform/ByteOrder.h"
#include "platform/ByteQueue.h"
#include "platform/Console.h"
#include "platform/DebugOutput.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/UniqueFd.h"
