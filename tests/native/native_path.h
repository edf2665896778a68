// The engine builds Windows paths ("C:\dir\file"); natively a backslash is a
// directory separator too.
#pragma once

#include <string>

inline std::string NativePath(std::string path) {
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}
