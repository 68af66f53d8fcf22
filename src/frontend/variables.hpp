// The variable jobs: read ('G'), read and delete ('R') and write ('W') one
// variable of the store.
#pragma once

#include "frontend/dispatch.hpp"

// Reads the variable -n ('R': and deletes it): status 0 and the value, or
// the store's "??" answer.
JobResult read_variable();

// Writes -s as the value of -n: status 0 and the value written, or the
// store's "??" answer.
JobResult write_variable();
