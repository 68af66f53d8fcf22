// System error texts for the control-connection code: one error number of a
// class (C library, socket, name lookup, ...) turned into a readable line.
#pragma once

#include <cstddef>

// Error classes of syserrtxt.
constexpr int kErrStdlib = 1;
constexpr int kErrWin32 = 2;
constexpr int kErrOs2 = 3;
constexpr int kErrSocket = 4;   // socket errors are system error numbers here
constexpr int kErrHsocket = 5;  // name-lookup (h_errno) errors
constexpr int kErrExchange = 6;

struct tRelations {
    int iID;
    const char* cpName;
};
// The class table, ended by the entry {-1, "UNKNOWN"}.
extern const tRelations g_tRelations[];

constexpr size_t kSysErrTextWidth = 512;  // the static result, NUL included
constexpr size_t kSysErrDescMax = 255;    // the formatted description

// Builds "<class> error: <code> - <system text>. <description>" (or the
// description alone for code or class 0) into one static 512-byte buffer
// and returns it; the next call overwrites it. cpAddDesc is a printf format
// (may be null) for the further arguments.
const char* syserrtxt(unsigned long ulSysErrCode, int iErrFlag, const char* cpAddDesc, ...)
    __attribute__((format(printf, 3, 4)));
