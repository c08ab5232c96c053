// Ends the process on an internal inconsistency: the text goes to standard error as given.
#pragma once

[[noreturn]] void er_panic(const char* str);
