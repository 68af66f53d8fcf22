#include "frontend/globals.hpp"

std::string gszCtrlHost, gszClientHost, gszId;
char gcFunc = '?';
std::string gszOpt_b, gszOpt_d, gszOpt_l, gszOpt_m, gszOpt_n, gszOpt_s, gszOpt_t, gszOpt_u, gszOpt_end;
RunFlags gFlag;
std::string gszMissingArg, gszMyName, gszPort;
std::string gszRo, gszRoSms, gszRwIni, gszRwZbc, gszRwTmp, gszRwWork, gszRw;
str_log strLog;

const char* const kVersionLine = "sm_client V1.0 (" __DATE__ ")";
