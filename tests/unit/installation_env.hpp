// An installation for in-process tests: ZARVO_INI points at a fresh
// sandbox, and the environment variables that the code under test changes
// are restored afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/run.hpp"

class InstallationEnv {
public:
    InstallationEnv() {
        for (const char* k : kSaved) {
            const char* v = std::getenv(k);
            saved_.emplace_back(k, v ? std::optional<std::string>(v) : std::nullopt);
        }
        ::setenv("ZARVO_INI", sb.root_file().c_str(), 1);
    }
    ~InstallationEnv() {
        for (auto& [k, v] : saved_) {
            if (v)
                ::setenv(k.c_str(), v->c_str(), 1);
            else
                ::unsetenv(k.c_str());
        }
    }
    InstallationEnv(const InstallationEnv&) = delete;
    InstallationEnv& operator=(const InstallationEnv&) = delete;

    // Occurrences of needle in the protocol log.
    int protocol_count(const std::string& needle) const {
        const std::string p = sb.protocol();
        int n = 0;
        for (size_t pos = p.find(needle); pos != std::string::npos; pos = p.find(needle, pos + 1)) ++n;
        return n;
    }
    // Protocol lines that contain both a and b.
    int protocol_lines(const std::string& a, const std::string& b) const {
        const std::string p = sb.protocol();
        int n = 0;
        size_t start = 0;
        while (start < p.size()) {
            size_t end = p.find('\n', start);
            if (end == std::string::npos) end = p.size();
            const std::string line = p.substr(start, end - start);
            if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) ++n;
            start = end + 1;
        }
        return n;
    }
    std::string work(const std::string& rel = "") const { return sb.path("rw/work/" + rel); }

    testsupport::Sandbox sb;

private:
    static constexpr const char* kSaved[] = {"ZARVO_INI", "PATH", "PGPORT", "OPENRDA_INI", "LD_LIBRARY_PATH"};
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
