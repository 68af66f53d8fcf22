#include "exec/usercmd.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "exec/system.hpp"
#include "ini/ini.hpp"
#include "util/fileops.hpp"
#include "util/posix.hpp"
#include "util/shell_quote.hpp"
#include "util/strings.hpp"

namespace {

constexpr size_t kBinDirWidth = 256;

std::string refused(const std::string& program, const std::string& user, const char* why) {
    return cut(sformat("Command %s with user %s not allowed: %s", program.c_str(), user.c_str(), why),
               kUserCmdMax);
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

int i_COMPOSE_COMMAND(std::string& cpCmd, std::string& cpProgram, std::string& cpBinDir, std::string& cpMsg) {
    const size_t blank = cpCmd.find(' ');
    std::string program = cpCmd.substr(0, blank);
    const std::string rest = blank == std::string::npos ? "" : cpCmd.substr(blank);
    std::string err;
    if (!i_READ_INI("SM_INI", "[Pathes]", "gv_ro_bin", cpBinDir, kBinDirWidth, err, 256) ||
        cpBinDir.empty()) {
        cpMsg = cut(
            sformat("Command %s not allowed: the bin directory gv_ro_bin cannot be read", program.c_str()),
            kUserCmdMax);
        return 0;
    }
    if (program.empty()) {
        cpMsg = "Command not allowed: it names no program";
        return 0;
    }
    if (program[0] != '/') program = cpBinDir + program;
    // What runs is what was checked: ".." cannot lead out of a directory
    // that the text test saw it in.
    cpProgram = lexically_normal(program);
    cpCmd = cpProgram + rest;
    if (cpCmd.size() > kUserCmdMax) {
        cpMsg =
            cut(sformat("Command %s not allowed: longer than %zu characters", cpProgram.c_str(), kUserCmdMax),
                kUserCmdMax);
        return 0;
    }
    return 1;
}

bool only_program(const std::string& cpCmd) {
    return cpCmd.find_first_of(";&|`$<>()\n\r") == std::string::npos;
}

bool valid_user_name(const std::string& cpUser) {
    if (cpUser.empty() || cpUser.size() > 32 || cpUser[0] == '-') return false;
    for (unsigned char c : cpUser)
        if (!(std::isalnum(c) && c < 128) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

CommandGrant allow_list_grant(const std::string& cpFile, const std::string& cpUser,
                              const std::string& cpProgram, std::string& cpMsg, str_log strLog) {
    posix::UniqueFd fd = posix::open_fd(cpFile, O_RDONLY | O_NOFOLLOW);
    if (!fd) {
        cpMsg = cut(sformat("could not open file %s", cpFile.c_str()), kUserCmdMax);
        return CommandGrant::none;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        cpMsg = refused(cpProgram, cpUser, "the allow list is not a regular file");
        return CommandGrant::none;
    }
    // Whoever can write the list can grant root.
    if (st.st_uid != 0) {
        cpMsg = refused(cpProgram, cpUser, "the allow list is not owned by root");
        return CommandGrant::none;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        cpMsg = refused(cpProgram, cpUser, "the allow list is writable by group or others");
        return CommandGrant::none;
    }
    std::unique_ptr<FILE, FileCloser> f(::fdopen(fd.get(), "r"));
    if (!f) {
        cpMsg = cut(sformat("could not open file %s", cpFile.c_str()), kUserCmdMax);
        return CommandGrant::none;
    }
    fd.release();

    const std::string head = cpUser + " ", joker = cpUser + " *", listed = cpUser + " " + cpProgram;
    char* raw = nullptr;
    size_t cap = 0;
    CommandGrant grant = CommandGrant::none;
    for (ssize_t n; grant == CommandGrant::none && (n = ::getline(&raw, &cap, f.get())) > 0;) {
        const std::string line = cut(std::string_view(raw, static_cast<size_t>(n)), kAllowLineMax);
        if (line.compare(0, head.size(), head) != 0) continue;
        SM_TRACE(strLog, 0, "Line starts with user: %s", line.c_str());
        if (line.find(joker) != std::string::npos) {
            SM_TRACE(strLog, 0, "Line contains joker for command: %s", line.c_str());
            grant = CommandGrant::any;
        } else if (line.find(listed) != std::string::npos) {
            SM_TRACE(strLog, 0, "Line contains command: %s", line.c_str());
            grant = CommandGrant::program;
        }
    }
    std::free(raw);
    if (grant == CommandGrant::none)
        cpMsg = cut(sformat("Command %s with user %s not allowed", cpProgram.c_str(), cpUser.c_str()),
                    kUserCmdMax);
    return grant;
}

int i_EXECUTE_USER_COMMAND(const std::string& cpUser, std::string& cpCmd, std::string& cpMsg,
                           str_log strLog) {
    SM_TRACE(strLog, 0, "+++ EXECUTE_USER_COMMAND %s %s", cpUser.c_str(), cpCmd.c_str());
    auto done = [&](int rc) {
        SM_TRACE(strLog, 0, "--- EXECUTE_USER_COMMAND: %s", cpMsg.c_str());
        return rc;
    };
    std::string program, bin;
    if (!i_COMPOSE_COMMAND(cpCmd, program, bin, cpMsg)) return done(2);
    // The name goes to su and into the allow-list test as it is.
    if (!valid_user_name(cpUser)) {
        cpMsg =
            cut(sformat("Command %s not allowed: the user name is not valid", program.c_str()), kUserCmdMax);
        return done(2);
    }

    SM_TRACE(strLog, 0, "Compare pathes %s %s", bin.c_str(), program.c_str());
    CommandGrant grant;
    if (lexically_inside(bin, program)) {
        SM_TRACE(strLog, 0, "Command allowed, bcs. in Zarvo bin directory");
        grant = CommandGrant::program;
    } else {
        grant = allow_list_grant(kCmdUsersAllow, cpUser, program, cpMsg, strLog);
        if (grant == CommandGrant::none) return done(2);
    }
    // A grant of one program must not carry a second command along.
    if (grant == CommandGrant::program && !only_program(cpCmd)) {
        cpMsg = refused(program, cpUser, "shell control characters with a single-program grant");
        return done(2);
    }

    std::string cmd = sformat("su - %s -c %s", cpUser.c_str(), shell_quote(cpCmd).c_str());
    SM_TRACE(strLog, 0, "Cmd= %s", cmd.c_str());
    const int rc = start_system(cmd);
    if (rc != 0) {
        SM_TRACE(strLog, 0, "Execution returned error: iRet = %d", rc);
        cpMsg = sformat("Program returned exit state %d", rc);
        return done(2);
    }
    SM_TRACE(strLog, 0, "Execution returned ok: iRet = 0");
    cpMsg = "success";
    return done(0);
}
