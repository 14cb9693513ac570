// postgres_test_cluster: the PostgreSQL cluster of a whole test run (the
// ctest fixture "postgres").
//
//   postgres_test_cluster start STATE_FILE
//       removes the cluster an earlier run left behind (named by STATE_FILE)
//       and the directories of test processes that died with their own
//       cluster, starts a detached throwaway cluster and writes its directory and port
//       to STATE_FILE; test processes find it through TARVOLT_TEST_POSTGRES.
//   postgres_test_cluster stop STATE_FILE
//       stops that cluster, removes its directory and STATE_FILE.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "backend_test_support.h"
#include "postgres_cluster.h"

namespace {

void removeNamedCluster(const std::string& stateFile) {
    std::string directory;
    uint16_t port = 0;
    if (storage_test::readClusterState(stateFile, directory, port)) {
        storage_test::PostgresCluster::destroy(directory);
    }
    std::remove(stateFile.c_str());
}

int start(const std::string& stateFile) {
    removeNamedCluster(stateFile);
    storage_test::PostgresCluster::removeAbandoned(std::chrono::minutes(10));
    storage_test::PostgresCluster cluster(true);
    storage_test::writeClusterState(stateFile, cluster.directory(), cluster.port());
    cluster.release();
    std::printf("PostgreSQL test cluster in %s on port %u\n", cluster.directory().c_str(),
                static_cast<unsigned>(cluster.port()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc == 3 ? argv[1] : "";
    if (command != "start" && command != "stop") {
        std::fprintf(stderr, "usage: postgres_test_cluster start|stop STATE_FILE\n");
        return 2;
    }
    try {
        if (command == "start") {
            return start(argv[2]);
        }
        removeNamedCluster(argv[2]);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "postgres_test_cluster: %s\n", error.what());
        return 1;
    }
}
