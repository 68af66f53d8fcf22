// The tape status of a drive attached to this node: "mt" classified by its
// texts, then the tape driver asked directly (MTIOCGET).
#pragma once

#include <string>

#include "log/trace.hpp"

// Status word for the first line of the file at path holding one of mt's
// texts, checked in a fixed order (the classic list first, then Linux's own
// texts); "" when none is there. *text (optional) receives the text found.
std::string classify_mt_output(const std::string& path, std::string* text = nullptr);

// Asks mt (and then the driver) for the status of cpDevice and puts the
// status word into cpSts. 1 when a tape is online, 0 otherwise; -1 when mt or
// the driver did not answer within the mt deadline (cpSts: the message).
// The status file "<work>mt_status_result<cpDn or cpIdent>.sgv" is removed
// again. A drive number other than "unknown" is logged and put on the board.
int i_TAPE_STATUS_LOCAL(const std::string& cpDevice, const std::string& cpDn, std::string& cpSts,
                        const std::string& cpIdent, str_log strLog);

// Deletes cpDeleteFile (when not empty), closes iCloseFile (when not -1);
// for a known drive number writes "<class>: <ident> <status> (No.=<dn>)" into
// the protocol and the status text onto the board as kind M.
void v_TAPE_STATUS_FINISH(const std::string& cpDeleteFile, int iCloseFile, const std::string& cpInfoErr,
                          const std::string& cpIdent, const std::string& cpDn, const std::string& cpProtInfo,
                          str_log strLog);
