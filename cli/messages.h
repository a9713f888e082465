// What tresolin-cli says about a failure: the cause in German words, and the
// exit code a script sees for it. Internal to cli/.
#ifndef TRESOLIN_CLI_MESSAGES_H_
#define TRESOLIN_CLI_MESSAGES_H_

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace cli::internal {

// Every line the program writes to standard error starts with this.
inline constexpr std::string_view kPrefix = "tresolin-cli: ";

// The cause of a failure as the words after the path, "" when there are none
// to add (a wrong password says it all in its message).
std::string CauseText(const platform::Status& status);

// The exit code for a failure with this status (see cli.h).
int ExitCodeOf(const platform::Status& status);

}  // namespace cli::internal

#endif  // TRESOLIN_CLI_MESSAGES_H_
