// The command line's console: terminal queries and the interrupt key.
#pragma once

namespace nerlo::platform {

// True when the standard error stream is a terminal (progress is drawn there only then).
bool StandardErrorIsTerminal();

// Width in columns of the terminal on the standard error stream, asked of the terminal at
// each call (so a resized window is followed); 0 when it is no terminal or does not say.
int StandardErrorColumns();

// Makes the interrupt key (Ctrl-C, SIGINT) a request instead of the end of the process: the
// first interrupt only sets the flag that InterruptRequested reads, and gives the signal its
// default action back, so a second interrupt ends the process at once. When the process was
// started with the interrupt ignored (a background job of a shell without job control), it
// stays ignored. Call once, from the main thread, before other threads exist. Returns false
// when the handler could not be installed or the interrupt is ignored.
bool InstallInterruptHandler();

// True once an interrupt has arrived after InstallInterruptHandler. Any thread.
bool InterruptRequested();

}  // namespace nerlo::platform
