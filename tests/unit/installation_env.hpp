// ZARVO_INI at a fresh sandbox for in-process tests; the variables the code changes are restored.
#pragma once

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/run.hpp"

class InstallationEnv {
   public:
    InstallationEnv() {
        for (const char* k : {"ZARVO_INI", "PATH", "PGPORT", "OPENRDA_INI", "LD_LIBRARY_PATH"}) {
            const char* v = std::getenv(k);
            saved_.emplace_back(k, v ? std::optional<std::string>(v) : std::nullopt);
        }
        ::setenv("ZARVO_INI", sb.root_file().c_str(), 1);
    }
    ~InstallationEnv() {
        for (auto& [k, v] : saved_)
            v ? (void)::setenv(k.c_str(), v->c_str(), 1) : (void)::unsetenv(k.c_str());
    }
    // Occurrences of needle in the protocol log.
    int protocol_count(const std::string& needle) const {
        const std::string p = sb.protocol();
        int n = 0;
        for (size_t pos = p.find(needle); pos != std::string::npos; pos = p.find(needle, pos + 1)) ++n;
        return n;
    }
    static std::vector<std::string> lines_of(const std::string& s) {
        std::vector<std::string> out;
        std::istringstream in(s);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    std::string work(const std::string& rel = "") const { return sb.path("rw/work/" + rel); }

    testsupport::Sandbox sb;

   private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
