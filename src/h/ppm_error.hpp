// Messages of the PPM library's callers, shared so that every action words them alike.
#pragma once

inline constexpr const char* kCannotOpen = "cannot open the file \"%s\"\n";
inline constexpr const char* kCannotReadHeader = "cannot read the PPM header of \"%s\"\n";
