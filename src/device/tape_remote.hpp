// The tape status of a drive attached to another node: the database names
// the node and drive type, an agent started there answers.
#pragma once

#include <string>

#include "log/trace.hpp"

constexpr int kTapeStatusRemoteDeadlineSec = 180;  // the node's own mt deadline and a margin
constexpr size_t kTapeTypeMax = 15;

// Asks the node of drive cpDn (a drive number) for the status of device
// cpTapeName. 1 when it answered SUCCESS; 0 with the node's message (or why
// it could not be asked) in cpMsg. Waits at most the "tapestatus" deadline.
int i_TAPE_STATUS_REMOTE(const std::string& cpTapeName, const std::string& cpDn, std::string& cpMsg,
                         const std::string& cpCaller, str_log strLog);

// The node of drive iDn into cpNode. 1 when exactly one was found, else 0
// (cpNode then empty).
int i_GET_DEVICE_NODE(int iDn, std::string& cpNode, str_log strLog);

// Status word and message of the result lines in cpFile. 1 when either was
// found; 0 leaves the "No tag ..." texts in both.
int i_READ_RSHFILE(const std::string& cpFile, std::string& cpStatus, std::string& cpMsg, str_log strLog);

// The remote command that asks node for the status of device, drive type
// typ and path (from the database; typ empty: a tape drive); every value one
// shell word.
std::string tape_status_command(const std::string& node, const std::string& myhost, const std::string& device,
                                const std::string& typ, const std::string& path);
