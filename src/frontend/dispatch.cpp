#include "frontend/dispatch.hpp"

#include "config/glbv.hpp"
#include "frontend/finish.hpp"
#include "frontend/globals.hpp"
#include "frontend/usefile.hpp"
#include "util/strings.hpp"

namespace {

// Ends the run with sts/msg when a required option is empty.
void require(const std::string& opt, const char* msg, int sts = 1) {
    if (opt.empty()) FINISH(sts, msg);
}

JobResult unavailable(char func) { return {2, not_available(func)}; }

}  // namespace

std::string not_available(char func) { return sformat("function %c is not available yet", func); }

JobResult dispatch_function() {
    JobResult r;
    switch (gcFunc) {
        case 'G':
        case 'R': {
            require(gszOpt_n, "missing option -n name of GLBV");
            SM_TRACE(strLog, 0, gcFunc == 'G' ? "read GLBV  %s " : "read & delete GLBV  %s ", gszOpt_n.c_str());
            std::string name = gszOpt_n;
            glbv(gcFunc == 'G' ? 'r' : 'R', name, r.msg);
            return r;
        }
        case 'W': {
            require(gszOpt_n, "missing option -n name of GLBV");
            require(gszOpt_s, "missing option -s string value to write");
            SM_TRACE(strLog, 0, "write GLBV %s = %s ", gszOpt_n.c_str(), gszOpt_s.c_str());
            std::string name = gszOpt_n;
            r.msg = gszOpt_s;
            glbv('w', name, r.msg);
            return r;
        }
        case 'D': return CREATE_DIR_CLIENT();
        case 'c':
            require(gszOpt_d, "missing option -d");
            return unavailable('c');
        case 'd':
            SM_TRACE(strLog, 0, "get dir %s", gszOpt_end.c_str());
            require(gszOpt_end, "missing <directory>");
            return unavailable('d');
        case 'e':
            require(gszOpt_n, "missing option -n");
            SM_TRACE(strLog, 0, "check existence of file %s ", gszOpt_n.c_str());
            return exist_file();
        case 'f': return unavailable('f');
        case 'i': return unavailable('i');
        case 'k':
            require(gszOpt_s, "missing option -s saveset|pattern");
            SM_TRACE(strLog, 0, "kill with pattern %s ", gszOpt_s.c_str());
            return unavailable('k');
        case 'm':
            require(gszOpt_s, "missing option -s saveset");
            SM_TRACE(strLog, 0, "copy MTF-header & trailer file");
            return unavailable('m');
        case 'p':
            require(gszOpt_d, "missing option -d device");
            if (gszOpt_s.empty()) {
                size_t colon = gszOpt_d.find(':');
                if (colon == std::string::npos) FINISH(1, "missing option -s SMS number");
                gszOpt_s = gszOpt_d.substr(colon + 1);
                gszOpt_d.resize(colon);
            }
            return unavailable('p');
        case 't': return unavailable('t');
        case 'u': return USEFILE();
        case 'x':
            require(gszOpt_u, "missing option -u user", 2);
            require(gszOpt_s, "missing option -s command to execute", 2);
            return unavailable('x');
        default:
            return {1, "unknown keyword"};
    }
}
