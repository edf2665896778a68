// The hand-set rules that keep a track from being submitted at all.
#pragma once

#include <string>

// Which rule keeps the track out: "folder" when its file (`path`) lies under
// one of `folders`, "genre" when `genre` is one of `genres`; empty when none
// does. Each list is separated by ";", its entries taken without the spaces
// and double quotes around them, and compared without regard to case (of
// ASCII letters); "\" and "/" are the same separator. All texts are UTF-8.
// `matched` gets the entry that matched.
std::string SkipRule(const std::string& path, const std::string& genre, const std::string& folders,
                     const std::string& genres, std::string* matched);
