// Child processes of the programs: closing inherited descriptors, and the one way the library
// runs a shell command (so that a program can put its own runner behind it).
#pragma once

// Closes every descriptor from `first` on. Uses close_range where the kernel has it and walks
// the process's descriptor list otherwise (kernels before 5.9). Safe between fork and exec:
// no memory is allocated. 0, or -1 when some descriptor could not be listed or closed.
int close_descriptors_from(int first);

// The walk of close_descriptors_from, also where close_range works (for its tests).
int close_descriptors_walk(int first);

// Runs a shell command line and waits for it, as system() does: its wait status, or -1 when
// no shell could be started. Uses the runner set with set_system_runner, else system().
int run_system(const char *command);

using SystemRunner = int (*)(const char *command);
// Puts `runner` behind run_system (null: system() again).
void set_system_runner(SystemRunner runner);
