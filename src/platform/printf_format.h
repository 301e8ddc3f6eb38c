// Marks a function that takes a printf format, so that the compiler checks
// its arguments. MinGW's GCC would check against the system's older printf
// by default; the build uses the C99 one (__USE_MINGW_ANSI_STDIO), whose
// checks are gnu_printf's.
#pragma once

#if defined(__MINGW32__) && !defined(__clang__)
#define VEXA_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define VEXA_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#endif
