// The database suite: the agent's database layer, in this process, against a
// real damisql and a real database. Each backend's test file provides the
// installation; the cases in suite.cpp run unchanged over every backend.
#pragma once

#include <memory>

#include "support/run.hpp"

// A fresh installation whose damisql serves a system database holding only
// the backend's first rows; null (with a failure reported) when that fails.
std::unique_ptr<testsupport::Sandbox> make_install();
