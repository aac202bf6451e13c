#pragma once

#include "container/box.hpp"

#include <cstdio>

// Checks the file-type box at the start of `stream` (major brand "3gp6" or "mp42") and,
// with `apply`, rewrites it in place so that the major brand reads "M4A " and "M4A "
// heads the compatible brands in place of a "ndam" or "ndia". Returns 0 with the stream
// directly after the box; -1 on a format error or short read; -2 when the payload
// buffer cannot be had or the write-back falls short. In check mode, `planned` (when
// given) receives the payload's position, its bytes and the rewritten bytes, so that
// the edit pass need not find the box again.
container_status fix_ftyp(std::FILE* stream, bool apply, payload_edit* planned = nullptr);
