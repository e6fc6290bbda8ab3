// The program's arguments and standard streams as UTF-8 bytes on every system.
#pragma once

#include <string>
#include <vector>

namespace vantorix {

// Makes the standard streams carry bytes unchanged and a console show UTF-8. Windows opens them
// in text mode, which writes every LF as CR LF and ends input at a Ctrl-Z byte: they are switched
// to binary, and the console's output code page to UTF-8. POSIX: nothing to do. Call at the start
// of main, before anything is read or written.
void UseUtf8StandardStreams();

// The program's arguments after its name, in UTF-8. POSIX: argv as given. Windows: the command
// line as the system holds it, in UTF-16, converted (argv has it in the ANSI code page, which
// loses every character outside it).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

}  // namespace vantorix
