// Writes the dump of the synthetic 150-beacon group (bench/beacon_group.h)
// with the daemon's own renderer: the large input of the viewer's benchmark
// and of its metrics checks.
//   quillon_group_dump FILE
#include <sys/socket.h>

#include <cstdio>

#include "beacon_group.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "output/dump.h"
#include "state/source_table.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillon_group_dump FILE\n");
        return 2;
    }
    BeaconGroup group(AF_INET, GROUP_SIZE);
    static SourceTable table;
    uint64_t now = build_matrix(table, group, START_NOW_MS) + 1000;

    Settings own;
    own.beacon_name = "bench-beacon.example";
    own.admin_contact = "noc@bench.example";
    own.country_code = "FR";
    own.websites['G'] = "http://bench.example/beacon/";
    own.websites['M'] = "http://bench.example/matrix/";
    Runtime place;
    place.local_address = group.local;
    place.beacon_group.set_family(AF_INET);
    place.beacon_group.set_address("239.195.255.255");
    place.beacon_group.set_port(10000);
    place.beacon_group_label = place.beacon_group.to_string(true);
    place.ssm_group.set_family(AF_INET);
    place.ssm_group.set_address("232.195.255.255");
    place.ssm_group.set_port(10000);
    place.ssm_socket = 1000;  // only read as "SSM reception is on"
    place.beacon_flags = FLAG_SSM;
    DumpContext context{&own, &place, 5.0, START_NOW_MS, 12.34, 5.67};

    FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    render_dump(out, context, table, now);
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
