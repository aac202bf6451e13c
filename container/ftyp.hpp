#pragma once

#include <cstdio>

// Checks the file-type box at the start of `stream` (major brand "3gp6" or "mp42") and,
// with `apply`, rewrites it in place so that the major brand reads "M4A " and "M4A "
// heads the compatible brands in place of a "ndam" or "ndia". Returns 0 with the stream
// directly after the box; -1 on a format error or short read; -2 when the payload
// buffer cannot be had or the write-back falls short.
int fix_ftyp(std::FILE* stream, bool apply);
