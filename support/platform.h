#pragma once
// What the console programs do differently on Windows, behind calls that do
// nothing special elsewhere.

// Makes the command line UTF-8 text and standard output carry the bytes the
// program writes. On Windows the arguments are read again from the UTF-16
// command line (argv holds them in the ANSI code page, which loses every
// character outside it) and argc/argv replaced by their UTF-8 forms;
// standard output and error are switched to binary mode (a line feed stays
// one byte, as on Linux) and the console to UTF-8. Call it first in main.
void utf8_command_line(int& argc, const char**& argv);
void utf8_command_line(int& argc, char**& argv);

// Ends the process at once with the status, after flushing standard output
// and error, without destroying static objects or freeing memory one block
// at a time: quick_exit where the C library has it.
[[noreturn]] void exit_now(int status);
