// The daemon's console lines. An info line is the text, "\r\n" and a flush
// on standard output; an error line is "ERROR: ", the text and "\r\n" on
// standard error.
#pragma once

#include <string>

void InfoLine(const std::string& text);
void ErrorLine(const std::string& text);
// printf-style forms of the same.
void InfoLinef(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ErrorLinef(const char* format, ...) __attribute__((format(printf, 1, 2)));
