// The database suite over a PostgreSQL server started for this run.
#include <cstdlib>

#include "suite.hpp"
#include "support/pgserver.hpp"

namespace {

testsupport::PgServer* g_server = nullptr;

class PgEnvironment : public ::testing::Environment {
   public:
    void SetUp() override {
        server_ = std::make_unique<testsupport::PgServer>();
        ASSERT_TRUE(server_->start()) << server_->why();
        g_server = server_.get();
    }
    void TearDown() override {
        g_server = nullptr;
        server_.reset();
    }

   private:
    std::unique_ptr<testsupport::PgServer> server_;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new PgEnvironment);

}  // namespace

// Each installation gets a database of its own on the shared server.
std::unique_ptr<DbInstall> make_install() {
    static int serial = 0;
    if (!g_server) return nullptr;
    auto inst = std::make_unique<DbInstall>();
    const std::string db = "zarvo_t" + std::to_string(++serial);
    if (!g_server->create_database(db)) {
        ADD_FAILURE() << g_server->why();
        return nullptr;
    }
    auto r = testsupport::run({"/bin/bash", testsupport::source_dir() + "/scripts/db/load-postgres",
                               g_server->conninfo(db), inst->sb.dir()});
    if (r.rc != 0) {
        ADD_FAILURE() << "load-postgres: " << r.out << r.err;
        return nullptr;
    }
    return inst;
}
