// The user's own folder for the plug-in's data, for when the plug-in's folder
// cannot be written (a player under Program Files). The Win32 adapter asks the
// shell for the roaming application data folder; native tests set one.
#pragma once

#include <string>

// "<application data>\Kelmar\", made when missing; empty when there is none.
std::string GetUserDataFolder();
