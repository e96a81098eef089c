// nfq-delay QUEUE MS SECONDS: accepts every packet of netfilter queue QUEUE after holding it
// MS milliseconds, in arrival order, and exits after SECONDS. Used with an iptables NFQUEUE
// rule (with --queue-bypass) on the loopback of a benchmark's own network namespace, where
// netem is not available.

// The C library headers first: libnetfilter_queue pulls in kernel headers that clash with
// them the other way round.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <libnetfilter_queue/libnetfilter_queue.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>

#ifndef NF_ACCEPT
#define NF_ACCEPT 1
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Held
{
    uint32_t id;
    Clock::time_point release;
};

std::deque<Held> g_held;
std::chrono::milliseconds g_delay{20};

int onPacket(nfq_q_handle *, nfgenmsg *, nfq_data *nfa, void *)
{
    nfqnl_msg_packet_hdr *ph = nfq_get_msg_packet_hdr(nfa);
    if (ph)
        g_held.push_back({ntohl(ph->packet_id), Clock::now() + g_delay});
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: nfq-delay QUEUE MS SECONDS\n");
        return 2;
    }
    const int queue = std::atoi(argv[1]);
    g_delay = std::chrono::milliseconds(std::atoi(argv[2]));
    const auto end = Clock::now() + std::chrono::seconds(std::atoi(argv[3]));

    nfq_handle *h = nfq_open();
    if (!h) {
        std::perror("nfq_open");
        return 1;
    }
    nfq_q_handle *qh = nfq_create_queue(h, uint16_t(queue), &onPacket, nullptr);
    if (!qh) {
        std::perror("nfq_create_queue");
        return 1;
    }
    nfq_set_mode(qh, NFQNL_COPY_META, 0);
    nfq_set_queue_maxlen(qh, 65536);
    const int fd = nfq_fd(h);
    static char buf[1 << 16];
    while (Clock::now() < end) {
        int wait = 100;
        if (!g_held.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                g_held.front().release - Clock::now());
            wait = left.count() < 0 ? 0 : int(left.count()) + 1;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, wait) > 0) {
            const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
            if (n > 0)
                nfq_handle_packet(h, buf, int(n));
        }
        const auto now = Clock::now();
        while (!g_held.empty() && g_held.front().release <= now) {
            nfq_set_verdict(qh, g_held.front().id, NF_ACCEPT, 0, nullptr);
            g_held.pop_front();
        }
    }
    for (const Held &p : g_held)
        nfq_set_verdict(qh, p.id, NF_ACCEPT, 0, nullptr);
    nfq_destroy_queue(qh);
    nfq_close(h);
    return 0;
}
