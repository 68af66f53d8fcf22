#include "frontend/usefile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "config/glbv.hpp"
#include "exec/fileutil.hpp"
#include "frontend/globals.hpp"
#include "util/posix.hpp"
#include "util/strings.hpp"

namespace {

constexpr mode_t kNewFileMode = 0666;  // before the umask, as fopen would

JobResult result(int sts, std::string msg) {
    return {sts, cut(msg, kUsefileMsgMax)};
}

// Writes -s plus a line feed, or standard input for "-", into an open
// file, and closes it. 0 or the errno of the first failure. A file that
// cannot take its data (a full disk) is reported through i_FILE_CLOSE like a
// failing close, once.
int fill(posix::UniqueFd& fd, const std::string& text) {
    int err = 0;
    bool write_failed = false;
    if (text == "-") {
        const posix::CopyResult r = posix::copy_fd(STDIN_FILENO, fd.get());
        err = r.err;
        write_failed = r.write_failed;
    } else if (!posix::write_all(fd.get(), text + "\n")) {
        err = errno;
        write_failed = true;
    }
    if (write_failed) i_FILE_CLOSE(err);
    if (fd.close_checked() != 0) {
        const int cerr = errno;
        if (!write_failed) i_FILE_CLOSE(cerr);
        if (!err) err = cerr;
    }
    return err;
}

// chmod runs in a shell, so its error number is lost; name the likely one.
int chmod_error(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return errno;
    if (::geteuid() != 0 && ::geteuid() != st.st_uid) return EPERM;
    return EINVAL;
}

JobResult create(const std::string& file) {
    SM_TRACE(strLog, 0, "create and write file %s", file.c_str());
    posix::UniqueFd fd = posix::open_fd(file, O_WRONLY | O_CREAT | O_TRUNC, kNewFileMode);
    if (!fd) return result(2, sformat("write to %s: %s", file.c_str(), posix::errtext(errno).c_str()));
    if (int err = fill(fd, gszOpt_s))
        return result(2, sformat("write to %s: %s", file.c_str(), posix::errtext(err).c_str()));
    return result(0, sformat("create and write to %s successful", file.c_str()));
}

JobResult append(const std::string& file) {
    SM_TRACE(strLog, 0, "write append file %s ", file.c_str());
    if (!file_exist(file)) return result(2, sformat("%s not found", file.c_str()));
    posix::UniqueFd fd = posix::open_fd(file, O_WRONLY | O_APPEND);
    if (!fd) return result(2, sformat("write to %s: %s", file.c_str(), posix::errtext(errno).c_str()));
    if (int err = fill(fd, gszOpt_s))
        return result(2, sformat("write to %s: %s", file.c_str(), posix::errtext(err).c_str()));
    return result(0, sformat("write to %s successful", file.c_str()));
}

JobResult read_out(const std::string& file) {
    SM_TRACE(strLog, 0, "read file %s ", file.c_str());
    posix::UniqueFd fd = posix::open_fd(file, O_RDONLY);
    if (!fd) return result(2, sformat("read from %s: %s", file.c_str(), posix::errtext(errno).c_str()));
    std::fflush(stdout);  // nothing buffered may come after the content
    const int err = posix::copy_fd(fd.get(), STDOUT_FILENO).err;
    if (fd.close_checked() != 0) i_FILE_CLOSE(errno);
    if (err) return result(2, sformat("read from %s: %s", file.c_str(), posix::errtext(err).c_str()));
    return result(0, sformat("read from %s successful", file.c_str()));
}

JobResult remove_files(const std::string& file) {
    SM_TRACE(strLog, 0, "delete file %s", file.c_str());
    const int days = std::atoi(gszOpt_t.c_str());
    int ok;
    if (days < 1) {
        ok = i_FILE_DELETE(file, strLog);
    } else {
        SM_TRACE(strLog, 0, "delete files last accessed before %s", gszOpt_t.c_str());
        ok = i_FILE_FIND_EXEC_BEFORE(
            file, "", days, [](const std::string& path, str_log) { std::remove(path.c_str()); }, strLog);
    }
    if (ok) return result(0, sformat("%s deleted successful", file.c_str()));
    return result(2, sformat("%s is not deleted", file.c_str()));
}

JobResult exists(const std::string& file) {
    SM_TRACE(strLog, 0, "check existence of file %s ", file.c_str());
    // A directory that cannot be read as a file still counts when we can
    // enter it (which leaves us there).
    if (file_exist(file) || ::chdir(file.c_str()) == 0)
        return result(0, sformat("%s existing", file.c_str()));
    return result(2, sformat("%s not found", file.c_str()));
}

JobResult find(const std::string& file) {
    SM_TRACE(strLog, 0, "find and read in file %s ", file.c_str());
    if (!file_exist(file)) return result(2, sformat("%s not found", file.c_str()));
    std::string msg = gszOpt_s, search = gszOpt_s;
    if (file_search(file, search)) msg = search;
    return result(0, msg);
}

JobResult change_mode(const std::string& file) {
    SM_TRACE(strLog, 0, "make file %s executable", file.c_str());
    if (cm_chmod(gszOpt_s, file) == 0) return result(0, sformat("chmod %s successful", file.c_str()));
    return result(2, sformat("chmod %s: %s", file.c_str(), posix::errtext(chmod_error(file)).c_str()));
}

}  // namespace

JobResult USEFILE() {
    SM_TRACE(strLog, 0, "+++ USEFILE File: %s mode: %s ", gszOpt_n.c_str(), gszOpt_m.c_str());
    if (gszOpt_n.empty()) return result(1, "missing filename via -n");
    std::string file = gszOpt_n;
    resolve_path(file);
    if (gszOpt_m.empty()) gszOpt_m.assign(1, 'e');

    JobResult r;
    switch (gszOpt_m[0]) {
        case 'c': r = create(file); break;
        case 'd': r = remove_files(file); break;
        case 'e': r = exists(file); break;
        case 'f': r = find(file); break;
        case 'm': r = change_mode(file); break;
        case 'r': r = read_out(file); break;
        case 'w': r = append(file); break;
        default: r = result(1, "wrong option in command line"); break;
    }
    SM_TRACE(strLog, 0, "--- USEFILE File: %s mode: %s ", file.c_str(), gszOpt_m.c_str());
    return r;
}

JobResult CREATE_DIR_CLIENT() {
    if (gszOpt_n.empty()) return result(1, "missing directory via -n");
    JobResult r;
    r.sts = i_CREATE_DIR_LOCAL(gszOpt_n, r.msg, strLog) == 1 ? 0 : 1;
    r.msg = cut(r.msg, kUsefileMsgMax);
    return r;
}

JobResult exist_file() {
    if (file_exist(gszOpt_n)) return result(0, sformat("%s exists", gszOpt_n.c_str()));
    return result(1, sformat("%s doesn't exist", gszOpt_n.c_str()));
}
