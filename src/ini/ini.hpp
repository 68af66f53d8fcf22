// INI files: the root file that maps identifiers to configuration files,
// and the readers. Every read opens, scans and closes the file again.
#pragma once

#include <string>

constexpr size_t kIniLineBuf = 1024;   // a file line, newline included
constexpr size_t kIniSectionMax = 63;  // section header with brackets
constexpr size_t kIniKeyMax = 62;      // key without the "=" appended
constexpr size_t kRootPathMax = 127;   // value of ZARVO_INI
constexpr int kIniMaxReferenceDepth = 16;

// Reads cpKey from cpSection ("[Name]"; null or empty: the first entry in
// the whole file) of file cpFilename. Returns 1 with cpValue set (cut to
// iLengthValue-1 characters) and cpMsg emptied, or 0 with cpMsg explaining
// (cut to iLengthMsg-1). Values may hold one "%(key)" reference.
int i_GetPrivateProfileString(const char* cpFilename, const char* cpSection, const char* cpKey,
                              std::string& cpValue, size_t iLengthValue, std::string& cpMsg,
                              size_t iLengthMsg);

// Finds the configuration file for cpIdentifier in the root file: the file
// named by $ZARVO_INI, then /etc/opt/zarvo/zarvo.ini, then
// /etc/zarvo2000.ini. Returns 1 with the path in cpValue, or 0 with cpMsg set.
int i_GET_ROOT_FOR_INI(const char* cpIdentifier, std::string& cpValue, size_t iLengthValue,
                       std::string& cpMsg, size_t iLengthMsg);

// Reads cpSection/cpKey from the file of cpIdentifier (null or empty:
// "SM_INI"). Returns 1 with cpValue set (cut to iLengthValue-1), cpMsg left
// as it was; or 0 with cpMsg = "i_READ_INI: " and the reason.
int i_READ_INI(const char* cpIdentifier, const char* cpSection, const char* cpKey, std::string& cpValue,
               size_t iLengthValue, std::string& cpMsg, size_t iLengthMsg);

// Removes a trailing line feed in place; 0 when the line is then empty or a
// comment ("#" first), else 1.
int i_REMOVE_COMMENT(std::string& cpLine);

// The key named by the first "%(key)" in cpString, with the index of the
// last character before "%(" (npos when the reference starts the string)
// and of the first character after ")". False when there is no complete
// reference.
bool c_PARSE_FOR_PARENTHESES(const std::string& cpString, std::string& key, size_t& uipPreEnd,
                             size_t& uipPostBegin);
