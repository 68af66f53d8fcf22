#include "frontend/dirlist.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/passwords.hpp"
#include "db/records.hpp"
#include "db/sql.hpp"
#include "exec/system.hpp"
#include "frontend/globals.hpp"
#include "ini/ini.hpp"
#include "remote/remote_cmd.hpp"
#include "remote/remote_words.hpp"
#include "util/crypt.hpp"
#include "util/listing.hpp"
#include "util/posix.hpp"
#include "util/shell_quote.hpp"
#include "util/strings.hpp"

namespace {

struct Application {
    const char* indicator;
    const char* name;
    char base;
};

const Application kApplications[] = {
    {"/etc/SLOX-release", "SuSE Linux Openexchange Server", 'f'},
    {"/etc/init.d/openexchange", "Open-Xchange", 'f'},
    {"/opt/scalix/global/config", "Scalix", 'd'},
    {"/opt/novell/sms/bin/smsconfig", "NetWare", 'd'},
    {"/etc/oratab", "ORACLE", 'f'},
    {"/etc/init.d/mysql", "MySQL", 'f'},
    {"/etc/init.d/postgresql", "PostgreSQL", 'f'},
};

constexpr const char* kMountTable = "/proc/mounts";
// The handed-on password reaches zbc_smdr through the shell's expansion of
// this variable, so the command line that start_system reports on failure
// (stderr, protocol) never holds it.
constexpr const char* kPasswordVar = "SM_LISTING_PASSWORD";

bool starts_with(const std::string& s, const char* p) {
    return s.compare(0, std::strlen(p), p) == 0;
}

void flush_out(std::string& out) {
    if (!out.empty()) posix::write_all(STDOUT_FILENO, out);  // a closed stdout ends the listing quietly
    out.clear();
}

listing::Attributes attributes(const struct stat& st, char base, char type) {
    return {base, type, static_cast<int64_t>(st.st_ctime), static_cast<int64_t>(st.st_mtime),
            static_cast<uint64_t>(st.st_size < 0 ? 0 : st.st_size)};
}

char type_letter(mode_t mode) {
    if (S_ISFIFO(mode)) return 'p';
    if (S_ISCHR(mode)) return 'c';
    if (S_ISBLK(mode)) return 'k';
    if (S_ISLNK(mode)) return 'l';
    if (S_ISSOCK(mode)) return 's';
    return '_';
}

void add_mounts(listing::Listing& list, const std::string& root) {
    std::string table;
    posix::UniqueFd fd = posix::open_fd(kMountTable, O_RDONLY);
    if (!fd || !posix::read_all(fd.get(), table)) return;  // no table: no mounts to show
    const std::string& prefix = list.prefix();
    for (const listing::Mount& m : listing::network_mounts_in(table, root)) {
        struct stat st {};
        if (::lstat(m.point.c_str(), &st) != 0) continue;
        if (m.point.compare(0, prefix.size(), prefix) != 0) continue;  // every mount in root passes
        list.add(std::string_view(m.point).substr(prefix.size()), attributes(st, 'd', 'm'), m.info);
    }
}

void add_entries(listing::Listing& list, const std::string& root) {
    posix::UniqueDir dir = posix::open_dir(root);
    if (!dir) {
        const int err = errno;
        std::fprintf(stderr, "ERROR: opendir( %s ) returned errno (%d): %s\n", root.c_str(), err,
                     posix::errtext(err).c_str());
        return;
    }
    const int dfd = ::dirfd(dir.get());
    while (struct dirent* e = ::readdir(dir.get())) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        struct stat st {};
        if (posix::retry_eintr([&] { return ::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW); }) != 0)
            continue;  // vanished or not ours to examine
        if (S_ISDIR(st.st_mode))
            list.add(name, attributes(st, 'd', '_'));
        else
            list.add(name, attributes(st, 'f', type_letter(st.st_mode)));
    }
}

void list_local(const std::string& root) {
    std::string out;
    if (!root.empty() && root.back() == '/') {
        for (const Application& app : kApplications)
            if (posix::open_fd(app.indicator, O_RDONLY | O_NONBLOCK | O_NOCTTY))
                out += listing::application_line(app.name, app.base);
    }
    flush_out(out);
    listing::Listing list(!root.empty() && root.back() == '/' ? root : root + "/");
    add_mounts(list, root);
    add_entries(list, root);
    list.sort();
    list.print(out, flush_out);
}

// A NetWare volume of this installation: the node named in the main
// configuration, its user and handed-on password from the database.
void list_netware(const std::string& root, str_log& log) {
    std::string node, msg;
    if (!i_READ_INI("SM_INI", "[NetWare]", "node", node, kWidthHost, msg, 256) || node.empty()) {
        std::fprintf(stderr, "ERROR: cannot list %s: no NetWare node configured ([NetWare] node)\n",
                     root.c_str());
        return;
    }
    std::string user, password, phrase = listing::listing_client_phrase();
    i_GET_NETWARE_PASSWORD(node, user, phrase, password, log);
    crypt_wipe(phrase);
    std::string cmd = "zbc_smdr -D -v 4 -N " + shell_quote(node + ":::" + user + ":") + "\"$" + kPasswordVar +
                      "\"" + shell_quote(":0") + " " + shell_quote(root);
    if (::setenv(kPasswordVar, password.c_str(), 1) != 0) {
        std::fprintf(stderr, "ERROR: cannot list %s: %s\n", root.c_str(), posix::errtext(errno).c_str());
    } else {
        std::fflush(stdout);
        start_system(cmd);
        if (char* v = std::getenv(kPasswordVar)) {
            std::string_view s(v);
            std::fill(v, v + s.size(), '\0');
        }
        ::unsetenv(kPasswordVar);
    }
    crypt_wipe(password);
}

}  // namespace

void vShowTree(const std::string& cpRoot, str_log& log) {
    if (starts_with(cpRoot, "/Scalix")) {
        std::string cmd = "zbc_scx -D " + shell_arg(cut(cpRoot, kScalixPathMax));
        std::fflush(stdout);
        start_system(cmd);
        return;
    }
    if (starts_with(cpRoot, "/NetWare")) {
        list_netware(cpRoot, log);
        return;
    }
    list_local(cpRoot);
}

void vShowTreeAll(const std::string& cpRoot, str_log& log) {
    vShowTree(cpRoot, log);
}

int iSMDR_DIR(const std::string& cpNode, const std::string& cpSrc) {
    str_log log;  // no trace settings are read for the shortcut
    if (!valid_node_name(cpNode)) {
        std::fprintf(stderr, "ERROR: cannot list %s on node %s: invalid node name\n", cpSrc.c_str(),
                     cpNode.c_str());
        return 0;
    }
    std::string user, password, phrase = listing::listing_client_phrase();
    i_GET_NETWARE_PASSWORD(cpNode, user, phrase, password, log);
    crypt_wipe(phrase);
    std::string target = cpNode + ":::" + user + ":" + password + ":0";
    std::string cmd = "zbc_smdr -D -s dir -N " + quote_word(target) + " " + quote_word(cpSrc);
    crypt_wipe(target);
    // What the protocol, traces and messages show instead of the command.
    const std::string shown =
        "zbc_smdr -D -s dir -N " + quote_word(cpNode + ":::" + user + ":*****:0") + " " + quote_word(cpSrc);

    // The backups of a NetWare node are made by its data mover, which has the client.
    std::string where = cpNode, mover;
    if (iDB_SEL_GETVALUE(("select data_mover from clients where name=" + sql_value(cpNode)).c_str(),
                         "data_mover", mover, log) &&
        !mover.empty() && mover != "NULL" && mover != "?") {
        if (!valid_node_name(mover)) {
            std::fprintf(stderr, "ERROR: cannot list %s on node %s: invalid data mover %s\n", cpSrc.c_str(),
                         cpNode.c_str(), mover.c_str());
            crypt_wipe(cmd);
            crypt_wipe(password);
            return 0;
        }
        where = mover;
        SM_TRACE(log, 0, "SMDR will be executed on node: %s", where.c_str());
    }
    std::fflush(stdout);
    const int r = REMOTE_CMD(where + "|-", cmd, 1, log, shown);
    if (r != 1) {
        // Belt and braces: no reason may carry the password.
        if (!password.empty())
            for (size_t p; (p = cmd.find(password)) != std::string::npos;)
                cmd.replace(p, password.size(), "*");
        std::fprintf(stderr, "ERROR: cannot list %s on node %s: %s\n", cpSrc.c_str(), where.c_str(),
                     cmd.c_str());
    }
    crypt_wipe(cmd);
    crypt_wipe(password);
    return r;
}

JobResult dir_job() {
    if (gFlag.Remote) {
        gFlag.Remote = false;
        vShowTreeAll(gszOpt_end, strLog);
    } else {
        vShowTree(gszOpt_end, strLog);
    }
    std::fflush(nullptr);
    std::exit(0);
}
