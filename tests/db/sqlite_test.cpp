// The database suite over the embedded SQLite database of a fresh installation.
#include "suite.hpp"

std::unique_ptr<testsupport::Sandbox> make_install() {
    return std::make_unique<testsupport::Sandbox>();
}
