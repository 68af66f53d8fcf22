// The agent's database layer against a real damisql and database; each backend provides make_install.
#pragma once

#include <memory>

#include "support/run.hpp"

// A fresh installation whose damisql serves a fresh system database; null (and a failure) otherwise.
std::unique_ptr<testsupport::Sandbox> make_install();
