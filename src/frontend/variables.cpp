#include "frontend/variables.hpp"

#include "config/glbv.hpp"
#include "frontend/globals.hpp"

JobResult read_variable() {
    JobResult r;
    std::string name = gszOpt_n;  // the store rewrites '/' and '\' in the name
    glbv(gcFunc == 'R' ? 'R' : 'r', name, r.msg);
    return r;
}

JobResult write_variable() {
    JobResult r;
    std::string name = gszOpt_n;
    r.msg = gszOpt_s;
    glbv('w', name, r.msg);
    return r;
}
