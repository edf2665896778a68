// Where the log, the cache and its side file live: the plug-in's own folder
// when a file can be made there (as always), else the user's own data folder.
// A player installed under Program Files runs without the right to write
// beside its plug-ins.
#pragma once

#include <string>

struct DataFolder {
    std::string path;  // ends with a backslash
    bool own = true;   // the plug-in's own folder
};

// Whether a file can be made (and removed again) in the folder.
bool CanWriteIn(const std::string& folder);
// The own folder when it can be written; else the user's folder when that can;
// else the own folder still (saves then fail and say so).
DataFolder ChooseDataFolder(const std::string& ownFolder);
