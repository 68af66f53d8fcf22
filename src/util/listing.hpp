// Directory listings for the backup server's browser: the entries of one
// directory as compact records, ordered directories first, one line each:
//   "NAME" <base><type> <changed> <modified> <size> - ,<info>
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace listing {

// What a line shows of one entry besides its name.
struct Attributes {
    char base = 'f';  // 'd' directory or mount, 'f' anything else
    char type = '_';  // '_' 'p' 'c' 'k' 'l' 's' 'm'
    int64_t changed = 0, modified = 0;
    uint64_t size = 0;
};

// The entries of one listing. Names are kept relative to the prefix that
// every full name starts with (the listed directory and a '/'), in blocks
// that are never moved: about 48 bytes per entry plus its name.
class Listing {
   public:
    explicit Listing(std::string prefix);

    // Adds one entry; info (mounts: "device,type,options") follows the ",".
    void add(std::string_view name, const Attributes& a, std::string_view info = {});
    // Orders by base letter and full name compared as unsigned bytes; of
    // equal ones only the first added stays.
    void sort();
    // Appends every line in the current order to out, handing out to flush
    // (which empties it) whenever it holds 64 KiB or more, and at the end.
    template <class Flush>
    void print(std::string& out, Flush&& flush) const {
        for (const Entry& e : entries_) {
            append(out, e);
            if (out.size() >= kFlushAt) flush(out);
        }
        flush(out);
    }
    size_t size() const { return entries_.size(); }
    const std::string& prefix() const { return prefix_; }

   private:
    struct Entry {
        const char* name;
        uint32_t len;
        uint32_t seq;   // order of adding, which decides between equal keys
        uint32_t info;  // 1 + index into infos_, 0 for none
        char base, type;
        int64_t changed, modified;
        uint64_t size;
    };
    static constexpr size_t kFlushAt = 64 * 1024;
    static constexpr size_t kBlock = 1 << 20;

    const char* keep(std::string_view name);
    void append(std::string& out, const Entry& e) const;

    std::string prefix_;
    std::vector<Entry> entries_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t used_ = kBlock;  // bytes taken in the last block
    std::vector<std::string> infos_;
};

// The line of an installed application: "NAME" <base>b 0 0 0 - ,
std::string application_line(std::string_view name, char base);

// "%Y.%m.%d %H:%M:%S" of t in local time, appended to out ("0" when t
// cannot be broken down).
void append_time(std::string& out, int64_t t);

// A field of the mount table with its octal escapes ("\040" a blank)
// decoded; other backslashes stay.
std::string decode_mount_field(std::string_view field);

// A network file system mounted directly in a directory.
struct Mount {
    std::string point;  // decoded
    std::string info;   // "device,type,options", decoded
};

// The mounts of table (the text of /proc/mounts) whose line mentions "nfs"
// or "smbfs" and whose mount point lies directly in root (its parent, with
// or without a trailing '/', equals root). In table order, repeats kept.
std::vector<Mount> network_mounts_in(std::string_view table, std::string_view root);

// The pass phrase under which a client password is handed on to the
// directory-listing client (four letters); callers wipe it.
std::string listing_client_phrase();

}  // namespace listing
