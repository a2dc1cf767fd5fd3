// Console output of korv. Every text goes through here, so that the rule for
// an open progress line lives in one place: while a "Sending message #n... "
// or "Getting message #n... " line waits for its figures, any other text
// first ends that line.
#pragma once

#include <cstdio>

namespace quorvexia {

extern std::FILE* consoleStream;  // stdout; tests may point it elsewhere
extern bool consoleLineOpen;
// True when someone watches the console (a terminal): prompts and progress
// figures are then flushed as they change. Output to a file or a pipe is left
// to the stream's buffer, so a transfer costs no write per figure.
extern bool consoleInteractive;

// Makes what was printed visible now, when the console is interactive.
void FlushConsole();

// Prints a text with printf formatting, ending an open progress line first.
void ConsolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints the "...message #n... " prompt of a transfer. In debug mode the line
// ends at once; otherwise it stays open for the progress figures.
void ConsoleOpenProgressLine(const char* format, unsigned long number);

// Ends an open progress line with a line feed.
void EndProgressLine();

// Prints a protocol line of the debug echo on a line of its own.
void ConsoleEcho(const char* text, std::size_t length);

}  // namespace quorvexia
