// The daemon's console lines. An info line is the text, "\r\n" and a flush
// on standard output; an error line is "ERROR: ", the text and "\r\n" on
// standard error.
#pragma once

#include <string>

#include "platform/printf_format.h"

void InfoLine(const std::string& text);
void ErrorLine(const std::string& text);
// printf-style forms of the same.
void InfoLinef(const char* format, ...) VEXA_PRINTF_FORMAT(1, 2);
void ErrorLinef(const char* format, ...) VEXA_PRINTF_FORMAT(1, 2);
