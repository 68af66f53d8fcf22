#include "frontend/mediaconf.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "config/glbv.hpp"
#include "device/check_sms.hpp"
#include "exec/fileutil.hpp"
#include "frontend/globals.hpp"
#include "util/names.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

namespace {

constexpr size_t kDriveNumberMax = 7;
constexpr size_t kDeviceMax = 1023;
constexpr size_t kTypeMax = 15;
constexpr int kChannelsMax = 1000000;
constexpr mode_t kConfigMode = 0644;  // sms.ini and device files made new

bool whole_int(const std::string& s, int& out) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '\0' || errno == ERANGE || n < 0 || n > kChannelsMax) return false;
    out = static_cast<int>(n);
    return true;
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        lines.push_back(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
    return lines;
}

// Temporary files of rewrites whose process was killed before the rename.
void remove_stale_temp_files(const std::string& dir) {
    posix::UniqueDir d = posix::open_dir(dir);
    if (!d) return;
    std::vector<std::string> stale;
    while (const struct dirent* e = ::readdir(d.get())) {
        posix::ProcOwner owner;
        if (posix::parse_temp_name(e->d_name, &owner) && posix::owner_gone(owner))
            stale.emplace_back(e->d_name);
    }
    for (const std::string& name : stale)
        if (::unlink((dir + name).c_str()) != 0 && errno != ENOENT)
            SM_TRACE(strLog, 0, "cannot remove %s%s: %s", dir.c_str(), name.c_str(),
                     posix::errtext(errno).c_str());
}

ConfigureStepHook& step_hook() {
    static ConfigureStepHook hook;
    return hook;
}

void step(const char* name) {
    if (step_hook()) step_hook()(name);
}

int fail(std::string& msg, std::string text) {
    msg = cut(text, kSmsMsgMax);
    SM_TRACE(strLog, 0, "--- CONFIGURE_SMS_INI   %s ", msg.c_str());
    return 1;
}

}  // namespace

bool parse_drive_description(const std::string& value, DriveDescription& d) {
    std::istringstream in(value);
    std::string channels;
    if (!(in >> d.number >> d.device >> d.device_type >> d.drive_type >> d.tapemark_type >> channels))
        return false;
    return d.number.size() <= kDriveNumberMax && is_plain_word(d.number) && d.device.size() <= kDeviceMax &&
           d.device_type.size() <= kTypeMax && d.drive_type.size() <= kTypeMax &&
           d.tapemark_type.size() <= kTypeMax && whole_int(channels, d.channels);
}

bool build_sms_ini(const std::string& old, const std::vector<DriveDescription>& drives,
                   const std::string& rw_ini, SmsIni& out) {
    const std::vector<std::string_view> lines = lines_of(old);
    size_t tape = 0;
    while (tape < lines.size() && lines[tape].find("Tape]") == std::string_view::npos) ++tape;
    if (tape == lines.size()) return false;
    const std::string p = lines[tape].find("[SMS_Tape]") != std::string_view::npos ? "SMS_" : "";
    const size_t n = drives.size();

    std::string head = sformat("[%sDevice]\nMaximal_Number_Of_Devices=%zu\n", p.c_str(), n);
    for (size_t i = 0; i < n; ++i) {
        const DriveDescription& d = drives[i];
        head += sformat("Device_Name_%zu=%s\n", i, d.disk() ? ("disk" + d.number).c_str() : d.device.c_str());
    }
    for (size_t i = 0; i < n; ++i) head += sformat("Device_Type_%zu=%s\n", i, drives[i].device_type.c_str());
    head += sformat("\n[%sDisk]\nDirectory=%s\n", p.c_str(), rw_ini.c_str());
    head += sformat("\n[%sTape]\n", p.c_str());
    for (size_t i = 0; i < n; ++i)
        head += sformat("Tapemark_Type_%zu=%s\n", i, drives[i].tapemark_type.c_str());

    std::string rest;
    bool streams_done = false;
    for (size_t l = tape + 1; l < lines.size(); ++l) {
        const std::string_view line = lines[l];
        if (line.find("Tapemark_Type") != std::string_view::npos) continue;
        if (line.find("Maximal_Number_Of_Parallel_Streams") != std::string_view::npos) {
            if (!streams_done)
                for (size_t i = 0; i < n; ++i)
                    rest += sformat("Maximal_Number_Of_Parallel_Streams_%zu=%d\n", i, drives[i].channels);
            streams_done = true;
            continue;
        }
        rest.append(line).push_back('\n');
    }
    out = {std::move(head), std::move(rest)};
    return true;
}

void CREATE_DISK_DEVICE_FILE(const std::string& cpDevName, const std::string& cpLine,
                             const std::string& cpRwIni, const std::string& cpCapac) {
    SM_TRACE(strLog, 0, "+++ CREATE_DISK_DEVICE_FILE  %s  %s  %s ", cpDevName.c_str(), cpLine.c_str(),
             cpRwIni.c_str());
    const std::string path = cpRwIni + cpDevName;
    if (cpLine == "empty" && ::access(path.c_str(), F_OK) == 0) {
        SM_TRACE(strLog, 1, " Don't overwrite DISK_HARD %s with \"empty\" ", path.c_str());
        SM_TRACE(strLog, 0, "--- CREATE_DISK_DEVICE_FILE: DISK_HARD %s exists", path.c_str());
        return;
    }
    posix::ReplaceOptions opt;
    opt.new_mode = kConfigMode;
    std::string err;
    if (!posix::replace_file(path, cpLine + "\n" + cpCapac + "\n", opt, err)) {
        SM_TRACE(strLog, 0, "--- CREATE_DISK_DEVICE_FILE failed opening %s  to write", path.c_str());
        return;
    }
    SM_TRACE(strLog, 0, "--- CREATE_DISK_DEVICE_FILE created %s ", path.c_str());
}

int i_CONFIGURE_SMS_INI(const std::string& cpDrives, std::string& cpMsg) {
    SM_TRACE(strLog, 0, "+++ CONFIGURE_SMS_INI   %s ", cpDrives.c_str());
    const long n = std::strtol(cpDrives.c_str(), nullptr, 10);
    if (n <= 0) {
        cpMsg = "there no drives to configure";
        return 0;
    }
    // Refused before a single description is consumed.
    if (n > kSmsDrivesMax)
        return fail(cpMsg, sformat("cannot configure %ld drives: at most %d", n, kSmsDrivesMax));

    const std::string ini = gszRwIni + "sms.ini";
    remove_stale_temp_files(gszRwIni);
    std::string old;
    {
        posix::UniqueFd fd = posix::open_fd(ini, O_RDONLY | O_NOCTTY);
        if (!fd || !posix::read_all(fd.get(), old))
            return fail(cpMsg, sformat("Cannot open file %s to read", ini.c_str()));
    }
    SmsIni probe;
    if (!build_sms_ini(old, {}, gszRwIni, probe))
        return fail(cpMsg, sformat("Cannot find section [Tape] in %s", ini.c_str()));

    std::vector<DriveDescription> drives(static_cast<size_t>(n));
    for (long i = 0; i < n; ++i) {
        std::string name = sformat("gv_client_c_%ld", i), value;
        glbv('R', name, value);
        if (value.empty() || value[0] == '?')
            return fail(cpMsg,
                        sformat("GLBV %s had not been written by caller, so cannot configure the drive",
                                name.c_str()));
        SM_TRACE(strLog, 0, "read from gv_client_c_ %ld  : %s ", i, value.c_str());
        if (!parse_drive_description(value, drives[i]))
            return fail(cpMsg, sformat("GLBV %s invalid: %s", name.c_str(), value.c_str()));
    }

    SmsIni next;
    build_sms_ini(old, drives, gszRwIni, next);
    SM_TRACE(strLog, 0, "Device section");
    SM_TRACE(strLog, 0, "Maximal_Number_Of_Devices= %ld ", n);
    posix::ReplaceOptions opt;
    opt.new_mode = kConfigMode;
    std::string err;
    auto writer = [&](int fd) {
        if (!posix::write_all(fd, next.head)) return false;
        SM_TRACE(strLog, 0, "write remaining file");
        if (!posix::write_all(fd, next.rest)) return false;
        SM_TRACE(strLog, 0, "update file  %s  ->  %s ", "sms.ini", ini.c_str());
        step("written");
        return true;
    };
    if (!posix::replace_file(ini, writer, opt, err))
        return fail(cpMsg, sformat("Cannot write file %s: %s", ini.c_str(), err.c_str()));

    step("renamed");
    // Only now that the new file is in place do the old device files go.
    i_FILE_DELETE(gszRwIni + "disk*", strLog);
    for (long i = 0; i < n; ++i) {
        const DriveDescription& d = drives[i];
        if (d.disk())
            CREATE_DISK_DEVICE_FILE("disk" + d.number, d.changer() ? d.device : "empty", gszRwIni, "0");
        SMS_SHUTDOWN(static_cast<int>(i));
    }
    step("devices");

    SM_TRACE(strLog, 0, "restart SMS");
    std::string deadline;
    if (i_CHECK_SMS(2, deadline, strLog) < 0) return fail(cpMsg, deadline);
    cpMsg = sformat("Configured %ld SMS-drives", n);
    SM_TRACE(strLog, 0, "--- CONFIGURE_SMS_INI  ");
    return 0;
}

void set_configure_step_hook(ConfigureStepHook hook) {
    step_hook() = std::move(hook);
}

JobResult configure_sms() {
    JobResult r;
    r.sts = i_CONFIGURE_SMS_INI(gszOpt_d, r.msg);
    return r;
}
