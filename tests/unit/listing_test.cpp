// The listing sorts once and must print exactly what inserting each entry
// into a sorted list (walking from its head, dropping equal keys) prints.
#include "util/listing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <list>
#include <random>

namespace {

struct Ref {
    std::string key;  // base letter and full name
    char type;
    int64_t changed, modified;
    uint64_t size;
    std::string info;
};

std::string ref_line(const Ref& r) {
    std::string name = r.key.substr(1), times[2];
    std::replace(name.begin(), name.end(), '\\', '/');
    for (int i = 0; i < 2; ++i) {
        const time_t t = static_cast<time_t>(i ? r.modified : r.changed);
        struct tm tmv {};
        char buf[64];
        times[i] =
            std::string(buf, std::strftime(buf, sizeof buf, "%Y.%m.%d %H:%M:%S", localtime_r(&t, &tmv)));
    }
    char size[64];
    std::snprintf(size, sizeof size, "%.0f", static_cast<double>(r.size));
    return "\"" + name + "\" " + r.key[0] + r.type + " " + times[0] + " " + times[1] + " " + size + " - ," +
           r.info + "\n";
}

void ref_insert(std::list<Ref>& l, const Ref& e) {
    auto it = l.begin();
    while (it != l.end() && std::strcmp(it->key.c_str(), e.key.c_str()) < 0) ++it;
    if (it == l.end() || it->key != e.key) l.insert(it, e);
}

TEST(Listing, PrintsWhatSortedInsertionPrints) {
    std::mt19937 rng(11);
    const std::string alphabet = std::string("aAb_. \\-") + "\x7f\x80\xe4\xff";
    const uint64_t sizes[] = {0, 1, 4096, (uint64_t{1} << 53) + 1, uint64_t{1} << 62};
    for (const std::string prefix : {"/", "/data/", "/x\\y/"}) {
        listing::Listing ours(prefix);
        std::list<Ref> ref;
        for (int i = 0; i < 3000; ++i) {
            std::string name;
            for (int n = 1 + static_cast<int>(rng() % 3); n > 0; --n)
                name += alphabet[rng() % alphabet.size()];
            const bool mount = i < 40;  // the mounts come first, as in a listing
            listing::Attributes a{rng() % 3 ? 'f' : 'd', mount ? 'm' : "_plcks"[rng() % 6],
                                  static_cast<int64_t>(rng() % 2000000000), static_cast<int64_t>(rng() % 4),
                                  sizes[rng() % 5]};
            if (mount) a.base = 'd';
            const std::string info = mount ? "srv:/e" + std::to_string(i) + ",nfs,rw" : "";
            ours.add(name, a, info);
            ref_insert(ref, {a.base + prefix + name, a.type, a.changed, a.modified, a.size, info});
        }
        ours.sort();
        std::string got, want;
        ours.print(got, [](std::string&) {});
        for (const Ref& r : ref) want += ref_line(r);
        ASSERT_LT(ref.size(), 3000u);  // equal keys were met
        EXPECT_EQ(ours.size(), ref.size());
        EXPECT_TRUE(got == want) << prefix;
    }
    EXPECT_EQ(listing::application_line("ORA\\CLE", 'f'), "\"ORA/CLE\" fb 0 0 0 - ,\n");
}

TEST(Listing, NetworkMountsDirectlyInTheDirectory) {
    const std::string table =
        "nfsserver:/export /data/nfs\\0401 tmpfs rw,relatime 0 0\n"
        "/dev/vda /data/nfsdisk ext4 rw 0 0\n"            // "nfs" in the line is enough
        "srv:/a\\134b /data/s smbfs ro 0 0\n"             // an escaped backslash
        "srv:/n /data/deep/x nfs rw 0 0\n"                // not directly in /data
        "proc /data/p proc rw 0 0\n"                      // not a network file system
        "srv:/short /data/short\n"                        // too few fields
        "nfsserver:/export /data/nfs\\0401 tmpfs rw 0 0"  // mounted twice, no newline
        ;
    const std::string want =
        "/data/nfs 1|nfsserver:/export,tmpfs,rw,relatime\n/data/nfsdisk|/dev/vda,ext4,rw\n"
        "/data/s|srv:/a\\b,smbfs,ro\n/data/nfs 1|nfsserver:/export,tmpfs,rw\n";
    for (const char* root : {"/data", "/data/"}) {
        std::string got;
        for (const auto& m : listing::network_mounts_in(table, root)) got += m.point + "|" + m.info + "\n";
        EXPECT_EQ(got, want) << root;
    }
    EXPECT_EQ(listing::network_mounts_in("srv:/r /nfs nfs rw 0 0\n", "/").size(), 1u);
    EXPECT_EQ(listing::decode_mount_field("a\\040b\\\\c\\12\\"), "a b\\\\c\\12\\");
}

}  // namespace
