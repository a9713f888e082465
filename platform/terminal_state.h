// Internal: the terminal settings a secret prompt changes, so that a process
// ended during the prompt gives the terminal its echo back.
#ifndef TRESOLIN_PLATFORM_TERMINAL_STATE_H_
#define TRESOLIN_PLATFORM_TERMINAL_STATE_H_

namespace platform::internal {

// Restores the settings of a prompt that is still open; nothing otherwise.
// Called by the interrupt clean-up.
void RestoreTerminal();

}  // namespace platform::internal

#endif  // TRESOLIN_PLATFORM_TERMINAL_STATE_H_
