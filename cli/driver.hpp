#pragma once

// Runs the tool: options, then every file in turn. Returns the exit status.
int run(int argc, char* argv[]);
