// Marking the functions a shared library exports. Linux: every other symbol
// is hidden, and the version script keeps it so. Windows: the DLL's .def
// file lists the exports, so the mark adds nothing.
#pragma once

#ifdef _WIN32
#define VEXA_SHARED_LIBRARY_EXPORT
#else
#define VEXA_SHARED_LIBRARY_EXPORT __attribute__((visibility("default")))
#endif
