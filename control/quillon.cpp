// quillon: a multicast beacon.  main() reads like the start-up sequence: it
// settles the configuration, opens the sockets, schedules the periodic work,
// announces the beacon and hands over to the main loop for good.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "control/clock_check.h"
#include "control/lifecycle.h"
#include "control/log.h"
#include "control/process.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "control/ssm_sockets.h"
#include "net/address.h"
#include "net/multicast.h"
#include "protocol/report.h"
#include "protocol/ssmping.h"
#include "scheduler/clock.h"
#include "scheduler/main_loop.h"
#include "state/source_table.h"

namespace {

constexpr uint32_t FIRST_PROBE_MS = 100;
constexpr uint32_t FIRST_REPORT_MS = 10000;
constexpr uint32_t FIRST_MAP_REPORT_MS = 30000;
constexpr uint32_t FIRST_WEBSITE_REPORT_MS = 120000;
constexpr uint32_t FIRST_SSM_REPORT_MS = 15000;
constexpr uint32_t GARBAGE_COLLECT_MS = 30000;
constexpr uint32_t BANDWIDTH_STATS_MS = 10000;
constexpr uint32_t BANDWIDTH_STATS_2_MS = 600000;

SystemSsmSockets ssm_sockets;

[[noreturn]] void fail(const char* what) {
    perror(what);
    end_process(255);
}

void on_terminate(int) { terminate_requested = 1; }
void on_bandwidth_request(int) { bandwidth_report_requested = 1; }
void on_child_exit(int) { child_exited = 1; }

void install_handler(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait must see the signal
    sigaction(sig, &action, nullptr);
}

// The address of the interface that leads to the group: a connected
// datagram socket makes the system choose the route without sending.
void discover_local_address() {
    int fd = socket(runtime.beacon_group.family(), SOCK_DGRAM, 0);
    if (fd < 0) fail("Failed to create socket to discover local addr");
    if (connect(fd, runtime.beacon_group.as_sockaddr(), runtime.beacon_group.length()) != 0)
        fail("Failed to connect multicast socket");
    runtime.local_address.clear();
    runtime.local_address.set_family(runtime.beacon_group.family());
    socklen_t length = runtime.local_address.length();
    if (getsockname(fd, runtime.local_address.as_sockaddr(), &length) != 0) fail("getsockname");
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    srand(static_cast<unsigned>(time(nullptr)));

    char host[256];
    if (gethostname(host, sizeof host) != 0) fail("Failed to get hostname");
    host[sizeof host - 1] = '\0';
    settings.beacon_name = host;

    process_command_line(argc, argv);
    detect_multicast_api();

    if (settings.beacon_name.empty()) log_fatal("No name supplied.");
    if (settings.beacon_group_text.empty()) log_fatal("Nothing to do, check `quillon -h`.");
    if (!runtime.beacon_group.parse(settings.beacon_group_text.c_str(), true, true)) return -1;
    runtime.beacon_group_label = runtime.beacon_group.to_string(true);
    if (settings.admin_contact.empty()) log_fatal("No administration contact supplied.");

    runtime.groups.push_back({runtime.beacon_group, KIND_ASM});
    timer_queue.insert_event(SEND_PROBE, FIRST_PROBE_MS);
    timer_queue.insert_event(SEND_REPORT, FIRST_REPORT_MS);
    timer_queue.insert_event(SEND_MAP_REPORT, FIRST_MAP_REPORT_MS);
    timer_queue.insert_event(SEND_WEBSITE_REPORT, FIRST_WEBSITE_REPORT_MS);
    runtime.report_destinations.push_back(runtime.beacon_group);

    if (settings.ssm_enabled) {
        if (settings.ssm_group_text.empty()) {
            int family = settings.forced_family != AF_UNSPEC ? settings.forced_family : runtime.beacon_group.family();
            settings.ssm_group_text = family == AF_INET ? "232.2.3.2" : "ff3e::beac";
        }
        if (!runtime.ssm_group.parse(settings.ssm_group_text.c_str(), true, true))
            log_fatal("Bad address format for SSM channel.");
        timer_queue.insert_event(SSM_SEND_PROBE, FIRST_PROBE_MS);
        timer_queue.insert_event(SEND_SSM_REPORT, FIRST_SSM_REPORT_MS);
        if (settings.ssm_join) runtime.groups.push_back({runtime.ssm_group, KIND_SSM});
    }

    FD_ZERO(&receive_set);
    {
        Address unbound;
        unbound.set_family(runtime.beacon_group.family());
        runtime.beacon_socket = open_multicast_socket(unbound, false, false);
        if (runtime.beacon_socket == -1) end_process(255);
        if (runtime.beacon_socket > 0 && !add_to_receive_set(runtime.beacon_socket)) {
            fprintf(stderr, "Descriptor %d does not fit the wait set.\n", runtime.beacon_socket);
            end_process(255);
        }
    }

    if (runtime.local_address.is_unspecified()) discover_local_address();
    if (bind(runtime.beacon_socket, runtime.local_address.as_sockaddr(), runtime.local_address.length()) != 0)
        fail("Failed to bind local socket");
    {
        socklen_t length = runtime.local_address.length();
        if (getsockname(runtime.beacon_socket, runtime.local_address.as_sockaddr(), &length) != 0)
            fail("getsockname");
    }

    for (const GroupEntry& group : runtime.groups) {
        int fd = open_multicast_socket(group.address, true, group.kind == KIND_SSM);
        if (fd == -1) end_process(255);
        if (!register_receive_socket(group.kind, fd)) {
            fprintf(stderr, "Descriptor %d does not fit the wait set.\n", fd);
            end_process(255);
        }
        if (group.kind == KIND_SSM) runtime.ssm_socket = fd;
    }

    if (settings.ssmping_enabled) {
        if (setup_ssmping() == -1)
            log_message(LOG_ERR, "Failed to setup SSM Ping.");
        else
            runtime.beacon_flags |= FLAG_SSMPING;
    }

    if (runtime.ssm_socket != 0) {
        runtime.beacon_flags |= FLAG_SSM;
        static SsmChannel ssm_channel(ssm_sockets, runtime.ssm_socket);
        source_table.ssm = &ssm_channel;
        uint64_t now = now_ms();
        for (const Address& address : settings.bootstrap_list)
            source_table.get_or_create_source(address, nullptr, now, false);
    } else if (!settings.bootstrap_list.empty()) {
        log_message(LOG_WARNING, "Tried to bootstrap using SSM when SSM is not enabled.");
    }

    if (settings.daemonize) resolve_relative_paths();
    if (settings.daemonize || settings.use_syslog) {
        settings.use_syslog = true;
        openlog("quillon", LOG_PID | LOG_NDELAY, LOG_DAEMON);
    }
    logger_started = true;

    if (settings.daemonize) {
        if (daemon(0, 0) != 0) fail("Failed to daemon()ize.");
        if (settings.has_pid_file) write_pid_file();
    }

    if (settings.verbose != 0 && !settings.dump_file.empty())
        log_info("Dump file is %s", absolute_path(settings.dump_file, working_directory()).c_str());

    timer_queue.insert_event(GARBAGE_COLLECT, GARBAGE_COLLECT_MS);
    if (!settings.dump_file.empty())
        timer_queue.insert_event(DUMP_STATS, static_cast<uint32_t>(settings.dump_interval) * 1000u);
    timer_queue.insert_event(BANDWIDTH_STATS, BANDWIDTH_STATS_MS);
    if (settings.dump_bandwidth) timer_queue.insert_event(BANDWIDTH_STATS_2, BANDWIDTH_STATS_2_MS);

    send_report(SEND_WEBSITE_REPORT);

    char local_text[256];
    runtime.local_address.to_string(local_text, sizeof local_text, false);
    log_info("Local name is `%s` [Beacon group: %s, Local address: %s]", settings.beacon_name.c_str(),
             runtime.beacon_group_label.c_str(), local_text);
    // Delays are differences of two hosts' clocks: say when ours is off.
    check_clock();
    timer_queue.insert_event(CLOCK_CHECK, CLOCK_CHECK_MS);

    install_handler(SIGUSR1, on_bandwidth_request);
    install_handler(SIGINT, on_terminate);
    install_handler(SIGTERM, on_terminate);
    install_handler(SIGCHLD, on_child_exit);

    run_main_loop();
}
