// vtape: a virtual tape drive. Every drive is a file in the mount that
// answers MTIOCGET and MTIOCTOP through the kernel, and reads and writes
// blocks kept in memory, so mt and the agent query it as a real drive.
//
//   vtape [--drives=NAME[,NAME...]] MOUNTPOINT [FUSE options, e.g. -f -o allow_other]
//
// The file "control" sets and shows the drives' states: write lines
// "NAME STATE"; reading gives one line per drive with its state and counters.
// States: online (at BOT), wprot (online, write-protected), offline (loaded,
// not ready), empty (no medium: opens need O_NONBLOCK, every tape request
// fails with ENOMEDIUM), busy (opens fail with EBUSY), hung (tape
// requests never answer until the caller is interrupted or the state
// changes), ioerror (status fails with EIO until a rewind), noioctl (not a
// tape: the tape ioctls fail with ENOTTY).
#define FUSE_USE_VERSION 35
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <string.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kControl = "control";
constexpr size_t kMaxData = 16u << 20;  // bytes one drive holds
constexpr long kBlockSize = 65536;
constexpr useconds_t kHangPollUs = 10000;

const char* const kStates[] = {"online", "wprot", "offline", "empty", "busy", "hung", "ioerror", "noioctl"};

struct Drive {
    std::string state = "online";
    std::string data;  // the medium's bytes
    long opens = 0, status = 0, rewinds = 0, writes = 0;
};

std::mutex gMutex;
std::map<std::string, Drive> gDrives;

bool known_state(const std::string& s) {
    return std::find(std::begin(kStates), std::end(kStates), s) != std::end(kStates);
}

// The drive of path ("/NAME"), or nullptr. Callers hold gMutex.
Drive* drive_of(const char* path) {
    if (path[0] != '/') return nullptr;
    auto it = gDrives.find(path + 1);
    return it == gDrives.end() ? nullptr : &it->second;
}

bool is_control(const char* path) {
    return std::string(path + 1) == kControl;
}

std::string control_text() {
    std::string out;
    for (const auto& [name, d] : gDrives)
        out += name + " " + d.state + " opens=" + std::to_string(d.opens) +
               " status=" + std::to_string(d.status) + " rewinds=" + std::to_string(d.rewinds) +
               " writes=" + std::to_string(d.writes) + " bytes=" + std::to_string(d.data.size()) + "\n";
    return out;
}

// Waits while the drive at path is hung: -EINTR once the caller was
// interrupted (a signal, or killed) or the file system is going away; 0 when
// the state changed. Called and returns with lock held.
int hang(std::unique_lock<std::mutex>& lock, const char* path) {
    struct fuse_session* se = fuse_get_session(fuse_get_context()->fuse);
    for (;;) {
        Drive* d = drive_of(path);
        if (!d || d->state != "hung") return 0;
        if (fuse_interrupted() || fuse_session_exited(se)) return -EINTR;
        lock.unlock();
        usleep(kHangPollUs);
        lock.lock();
    }
}

int vt_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
    std::lock_guard<std::mutex> lock(gMutex);
    *st = {};
    st->st_uid = getuid();
    st->st_gid = getgid();
    if (std::string(path) == "/") {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else if (is_control(path)) {
        st->st_mode = S_IFREG | 0644;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(control_text().size());
    } else if (drive_of(path)) {
        st->st_mode = S_IFREG | 0666;
        st->st_nlink = 1;
    } else {
        return -ENOENT;
    }
    return 0;
}

int vt_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
               enum fuse_readdir_flags) {
    if (std::string(path) != "/") return -ENOTDIR;
    std::lock_guard<std::mutex> lock(gMutex);
    fill(buf, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buf, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buf, kControl, nullptr, 0, FUSE_FILL_DIR_PLUS);
    for (const auto& entry : gDrives) fill(buf, entry.first.c_str(), nullptr, 0, FUSE_FILL_DIR_PLUS);
    return 0;
}

int vt_open(const char* path, struct fuse_file_info* fi) {
    fi->direct_io = 1;  // every read and write reaches us, at the caller's position
    std::lock_guard<std::mutex> lock(gMutex);
    if (is_control(path)) return 0;
    Drive* d = drive_of(path);
    if (!d) return -ENOENT;
    ++d->opens;
    const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
    const bool nonblock = fi->flags & O_NONBLOCK;
    if (d->state == "busy") return -EBUSY;
    // Like the st driver: without O_NONBLOCK an open needs a ready medium.
    if (d->state == "empty" && !nonblock) return -ENOMEDIUM;
    if (d->state == "wprot" && writing) return -EROFS;
    return 0;
}

int vt_truncate(const char* path, off_t size, struct fuse_file_info*) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (is_control(path)) return 0;
    Drive* d = drive_of(path);
    if (!d) return -ENOENT;
    if (d->state != "online") return -EIO;
    d->data.resize(std::min(static_cast<size_t>(size), kMaxData));
    return 0;
}

int vt_read(const char* path, char* buf, size_t size, off_t off, struct fuse_file_info*) {
    std::unique_lock<std::mutex> lock(gMutex);
    std::string text;
    const std::string* src;
    if (is_control(path)) {
        text = control_text();
        src = &text;
    } else {
        if (int r = hang(lock, path)) return r;
        Drive* d = drive_of(path);
        if (!d) return -ENOENT;
        if (d->state == "empty") return -ENOMEDIUM;
        if (d->state != "online" && d->state != "wprot") return -EIO;
        src = &d->data;
    }
    if (static_cast<size_t>(off) >= src->size()) return 0;
    const size_t n = std::min(size, src->size() - static_cast<size_t>(off));
    memcpy(buf, src->data() + off, n);
    return static_cast<int>(n);
}

int set_states(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name, state;
        if (!(words >> name)) continue;
        if (!(words >> state) || !known_state(state) || !gDrives.count(name)) return -EINVAL;
        Drive& d = gDrives[name];
        d.state = state;
    }
    return 0;
}

int vt_write(const char* path, const char* buf, size_t size, off_t off, struct fuse_file_info*) {
    std::unique_lock<std::mutex> lock(gMutex);
    if (is_control(path)) {
        int r = set_states(std::string(buf, size));
        return r ? r : static_cast<int>(size);
    }
    if (int r = hang(lock, path)) return r;
    Drive* d = drive_of(path);
    if (!d) return -ENOENT;
    if (d->state == "wprot") return -EROFS;
    if (d->state == "empty") return -ENOMEDIUM;
    if (d->state != "online") return -EIO;
    if (static_cast<size_t>(off) + size > kMaxData) return -ENOSPC;
    if (d->data.size() < static_cast<size_t>(off) + size) d->data.resize(static_cast<size_t>(off) + size);
    memcpy(d->data.data() + off, buf, size);
    ++d->writes;
    return static_cast<int>(size);
}

long general_status(const Drive& d) {
    if (d.state == "offline") return 0;
    long s = GMT_ONLINE(~0L) | GMT_BOT(~0L);
    if (d.state == "wprot") s |= GMT_WR_PROT(~0L);
    return s;
}

int vt_ioctl(const char* path, unsigned int cmd, void*, struct fuse_file_info*, unsigned int flags,
             void* data) {
    if (flags & FUSE_IOCTL_COMPAT) return -ENOSYS;
    std::unique_lock<std::mutex> lock(gMutex);
    if (int r = hang(lock, path)) return r;
    Drive* d = drive_of(path);
    if (!d) return -ENOTTY;
    if (d->state == "noioctl") return -ENOTTY;
    switch (cmd) {
        case MTIOCGET: {
            ++d->status;
            if (d->state == "ioerror") return -EIO;
            if (d->state == "empty") return -ENOMEDIUM;
            struct mtget get {};
            get.mt_type = MT_ISSCSI2;
            get.mt_dsreg = kBlockSize << MT_ST_BLKSIZE_SHIFT;
            get.mt_gstat = general_status(*d);
            get.mt_fileno = d->state == "online" || d->state == "wprot" ? 0 : -1;
            get.mt_blkno = get.mt_fileno;
            memcpy(data, &get, sizeof get);
            return 0;
        }
        case MTIOCTOP: {
            struct mtop op {};
            memcpy(&op, data, sizeof op);
            if (d->state == "empty") return -ENOMEDIUM;
            if (op.mt_op == MTREW) {
                ++d->rewinds;
                if (d->state == "ioerror") d->state = "online";
                return 0;
            }
            if (d->state == "ioerror" || d->state == "offline") return -EIO;
            if (op.mt_op == MTOFFL) d->state = "offline";
            return 0;
        }
        default: return -ENOTTY;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    std::vector<char*> args;
    std::string names = "st0";
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && strncmp(argv[i], "--drives=", 9) == 0)
            names = argv[i] + 9;
        else
            args.push_back(argv[i]);
    }
    std::istringstream list(names);
    std::string name;
    while (std::getline(list, name, ','))
        if (!name.empty() && name != kControl && name.find('/') == std::string::npos) gDrives[name];
    if (gDrives.empty()) {
        std::fprintf(stderr, "vtape: no drive names in --drives=%s\n", names.c_str());
        return 2;
    }
    struct fuse_operations ops {};
    ops.getattr = vt_getattr;
    ops.readdir = vt_readdir;
    ops.open = vt_open;
    ops.truncate = vt_truncate;
    ops.read = vt_read;
    ops.write = vt_write;
    ops.ioctl = vt_ioctl;
    args.push_back(nullptr);
    return fuse_main(static_cast<int>(args.size()) - 1, args.data(), &ops, nullptr);
}
