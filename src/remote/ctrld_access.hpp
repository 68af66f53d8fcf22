// Control-daemon access: one command through a node's ctrld, by the
// in-process client session or the external client sm_ctrlc.
#pragma once

#include <string>

#include "exec/child.hpp"
#include "log/trace.hpp"

constexpr int kCtrlDefaultPort = 11301;
constexpr int kCtrlFirstAlivePoll = 15;  // watch periods before the first alive test
constexpr int kCtrlAliveGrowth = 37;     // the interval grows by this after each test
constexpr int kCtrlAliveMax = 200;
constexpr int kCtrlAliveRetry = 5;  // periods before the test after a failed one

// Runs cpCmd (a shell command line of plain or quoted words) on cpNode.
// cpPortOpt is normalised in place. Returns -1 for an unknown platform or a
// command the wire cannot carry (a word holding '"'), else the result of
// the road taken (the command's exit code, 253 or the daemon's code when
// the session could not open, -1 from iCtrldCmd); cpMsg says why.
// cpShown, when given, stands for cpCmd in protocol, traces and messages.
int iCtrldAccess(const std::string& cpNode, std::string& cpPortOpt, const std::string& cpPlatform,
                 const std::string& cpCmd, int iCtrldTimeout, const std::string& cpInFile,
                 const std::string& cpOutFile, const std::string& cpErrFile, std::string& cpMsg,
                 str_log strLog, const std::string& cpShown = {});

// Runs sm_ctrlc in a child watched by alive tests of the node. Returns its
// exit status, or -1 when it ended abnormally, was stopped (E020) or could
// not be started; cpMsg says why. cpShown as for iCtrldAccess.
int iCtrldCmd(const std::string& cpNode, const std::string& cpCtrlPort, const std::string& cpPortOpt,
              const std::string& cpRemUser, const std::string& cpCmd, const std::string& cpInFile,
              const std::string& cpOutFile, const std::string& cpErrFile, std::string& cpMsg,
              int iCtrldTimeout, str_log strLog, const std::string& cpShown = {});

// Waits for child while alive tests of node show it answering (the
// schedule of CtrlWatch); a node that fails two in a row has the child (its
// group) stopped: lost. 1: ended (status set); -1: the wait failed.
int watch_child(exec::Child& child, const std::string& node, int& status, bool& lost, str_log& log);

// The watch of iCtrldCmd: after each elapsed period, whether an alive test
// is due; after a test, its result moves the interval. stop(): two failed
// tests in a row.
class CtrlWatch {
   public:
    bool tick();
    void tested(bool alive);
    bool stop() const { return stop_; }
    bool failed() const { return failed_; }
    int interval() const { return interval_; }

   private:
    int interval_ = kCtrlFirstAlivePoll, count_ = 0;
    bool failed_ = false, stop_ = false;
};
