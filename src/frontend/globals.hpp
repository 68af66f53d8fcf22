// The run's options and directories, filled once by ARGUMENTS and read by
// every handler. Values are cut to the widths below (which count the NUL of
// the fixed fields they stand for).
#pragma once

#include <string>

#include "log/trace.hpp"

constexpr size_t kWidthHost = 160;
constexpr size_t kWidthId = 256;
constexpr size_t kWidthOptB = 16;
constexpr size_t kWidthOptD = 512;
constexpr size_t kWidthOptL = 256;
constexpr size_t kWidthOptM = 3;
constexpr size_t kWidthOptN = 512;
constexpr size_t kWidthOptS = 512;
constexpr size_t kWidthOptT = 512;
constexpr size_t kWidthOptU = 256;
constexpr size_t kWidthOptEnd = 256;
constexpr size_t kWidthMissingArg = 192;
constexpr size_t kWidthPort = 160;
constexpr size_t kWidthDir = 512;
constexpr size_t kWidthMsg = 512;  // messages handed to FINISH

struct RunFlags {
    bool Remote = false;  // started by another node's sm_client: never forward again
    bool Help = false;    // usage requested
};

extern std::string gszCtrlHost, gszClientHost, gszId;
extern char gcFunc;
extern std::string gszOpt_b, gszOpt_d, gszOpt_l, gszOpt_m, gszOpt_n, gszOpt_s, gszOpt_t, gszOpt_u, gszOpt_end;
extern RunFlags gFlag;
extern std::string gszMissingArg, gszMyName, gszPort;
extern std::string gszRo, gszRoSms, gszRwIni, gszRwZbc, gszRwTmp, gszRwWork, gszRw;

// The program's trace descriptor.
extern str_log strLog;

// The version line of the usage text and of the verbose trace.
extern const char* const kVersionLine;
