#pragma once

#include "container/box.hpp"

#include <cstdio>

// Checks the file-type box at the start of `stream` (major brand "3gp6" or "mp42") and
// works out its rewrite: the major brand reads "M4A " and "M4A " heads the compatible
// brands in place of a "ndam" or "ndia". Returns 0 with the stream directly after the
// box and `planned` holding the payload's position, its bytes and the rewritten bytes;
// -1 on a format error or short read; -2 when a payload buffer cannot be had. A short
// write of the planned payload also counts as -2.
container_status fix_ftyp(std::FILE* stream, payload_edit& planned);
