// The user's home folder, shared by the Linux platform files that place the settings and the
// user's data below it.
#pragma once

#include <string>

namespace nerlo::platform::posix {

// $HOME when it is an absolute path, else the home folder of the password database's entry for
// this user; empty when neither is known.
std::string HomeDirectory();

}  // namespace nerlo::platform::posix
