/* impair: a two-port Ethernet forwarder that spoils TCP/IP traffic the way a poor link does.
 *
 * It reads every frame arriving on one interface with an AF_PACKET socket and sends it out of
 * the other, both ways. Frames that are not IPv4 TCP (ARP, IPv6) pass at once and untouched,
 * so the two ends find each other without any routing in between. TCP frames may be dropped,
 * duplicated, held back until a few later frames of the same direction have gone (reordering),
 * and delayed by a random jitter; a time-ordered queue sends them out when due. Every random
 * choice comes from one seeded generator, so a run is repeatable as far as the timing of the
 * peers allows.
 *
 * Usage: impair -a IFACE -b IFACE [-l LOSS%] [-d DUP%] [-r REORDER%] [-k HOLD] [-D DELAY_MS]
 *               [-j JITTER_MS] [-s SEED] [-t SECONDS] [-u]
 * -u impairs IPv4 UDP frames as well (RTP over UDP).
 * Prints "ready" on stdout once both sockets are bound, and a summary on stderr at the end. It
 * stops after SECONDS (default 60) or on SIGTERM/SIGINT.
 *
 * Build: cc -O2 -Wall -Wextra -o impair impair.c
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_FRAME 2048
#define MAX_QUEUE 4096

struct frame {
    uint64_t due;  /* CLOCK_MONOTONIC, ns */
    uint64_t order; /* ties keep arrival order */
    int out;       /* side to send from: 0 or 1 */
    int len;
    unsigned char data[MAX_FRAME];
};

/* A binary min-heap on (due, order). */
static struct frame* heap[MAX_QUEUE];
static int heap_len;
static uint64_t next_order;

static int earlier(const struct frame* a, const struct frame* b) {
    return a->due != b->due ? a->due < b->due : a->order < b->order;
}

static void heap_push(struct frame* f) {
    int i = heap_len++;
    heap[i] = f;
    while (i > 0 && earlier(heap[i], heap[(i - 1) / 2])) {
        struct frame* t = heap[i];
        heap[i] = heap[(i - 1) / 2];
        heap[(i - 1) / 2] = t;
        i = (i - 1) / 2;
    }
}

static struct frame* heap_pop(void) {
    struct frame* top = heap[0];
    heap[0] = heap[--heap_len];
    int i = 0;
    for (;;) {
        int l = 2 * i + 1, r = l + 1, m = i;
        if (l < heap_len && earlier(heap[l], heap[m])) m = l;
        if (r < heap_len && earlier(heap[r], heap[m])) m = r;
        if (m == i) break;
        struct frame* t = heap[i];
        heap[i] = heap[m];
        heap[m] = t;
        i = m;
    }
    return top;
}

static uint64_t rng_state;

static uint64_t rng_next(void) { /* xorshift64* */
    rng_state ^= rng_state >> 12;
    rng_state ^= rng_state << 25;
    rng_state ^= rng_state >> 27;
    return rng_state * 2685821657736338717ULL;
}

/* True with probability percent/100. */
static int chance(double percent) {
    return percent > 0 && (double)(rng_next() >> 11) / 9007199254740992.0 * 100.0 < percent;
}

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ULL + (uint64_t)ts.tv_nsec;
}

static volatile sig_atomic_t stopping;
static void on_signal(int sig) {
    (void)sig;
    stopping = 1;
}

static int open_port(const char* name) {
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd < 0) {
        perror("impair: socket");
        exit(1);
    }
    struct sockaddr_ll sll;
    memset(&sll, 0, sizeof sll);
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = (int)if_nametoindex(name);
    if (sll.sll_ifindex == 0 || bind(fd, (struct sockaddr*)&sll, sizeof sll) != 0) {
        fprintf(stderr, "impair: cannot bind to %s: %s\n", name, strerror(errno));
        exit(1);
    }
    /* Frames for the far end carry its MAC address, not ours. */
    struct packet_mreq mr;
    memset(&mr, 0, sizeof mr);
    mr.mr_ifindex = sll.sll_ifindex;
    mr.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) != 0) {
        perror("impair: promiscuous mode");
        exit(1);
    }
    return fd;
}

static int udp_too = 0;  /* -u: UDP frames are impaired like TCP ones */

static int is_tcp(const unsigned char* d, int len) {
    return len >= 14 + 20 && d[12] == 0x08 && d[13] == 0x00 && (d[14] >> 4) == 4 &&
           (d[23] == 6 || (udp_too && d[23] == 17));
}

static struct {
    unsigned long in, passed, dropped, duplicated, held, sent, overflow;
} stats;

static int fds[2];

static void send_now(int out, const unsigned char* d, int len) {
    if (send(fds[out], d, (size_t)len, 0) < 0 && errno != ENOBUFS && errno != EAGAIN)
        perror("impair: send");
    stats.sent++;
}

static void enqueue(int out, const unsigned char* d, int len, uint64_t due) {
    if (heap_len >= MAX_QUEUE) {
        stats.overflow++;
        return;
    }
    struct frame* f = malloc(sizeof *f);
    if (f == NULL) {
        stats.overflow++;
        return;
    }
    f->due = due;
    f->order = next_order++;
    f->out = out;
    f->len = len;
    memcpy(f->data, d, (size_t)len);
    heap_push(f);
}

/* One frame held back per direction, sent after `hold` later frames of that direction (or
 * after 50 ms, so a quiet direction does not keep it forever). */
struct held {
    int len, after;
    uint64_t since;
    unsigned char data[MAX_FRAME];
};

int main(int argc, char** argv) {
    const char *a = NULL, *b = NULL;
    double loss = 0, dup = 0, reorder = 0, delay_ms = 0, jitter_ms = 0, seconds = 60;
    int hold = 3, opt;
    unsigned long long seed = 1;
    while ((opt = getopt(argc, argv, "a:b:l:d:r:k:D:j:s:t:u")) != -1) {
        switch (opt) {
            case 'u': udp_too = 1; break;
            case 'a': a = optarg; break;
            case 'b': b = optarg; break;
            case 'l': loss = atof(optarg); break;
            case 'd': dup = atof(optarg); break;
            case 'r': reorder = atof(optarg); break;
            case 'k': hold = atoi(optarg); break;
            case 'D': delay_ms = atof(optarg); break;
            case 'j': jitter_ms = atof(optarg); break;
            case 's': seed = strtoull(optarg, NULL, 0); break;
            case 't': seconds = atof(optarg); break;
            default:
                fprintf(stderr,
                        "usage: impair -a IFACE -b IFACE [-l LOSS%%] [-d DUP%%] [-r REORDER%%] "
                        "[-k HOLD] [-D DELAY_MS] [-j JITTER_MS] [-s SEED] [-t SECONDS] [-u]\n");
                return 2;
        }
    }
    if (a == NULL || b == NULL || hold < 1) {
        fprintf(stderr, "impair: -a and -b are needed\n");
        return 2;
    }
    rng_state = seed ? seed : 1;
    fds[0] = open_port(a);
    fds[1] = open_port(b);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    printf("ready\n");
    fflush(stdout);

    static struct held held[2];
    static unsigned char buf[65536];
    const uint64_t end = now_ns() + (uint64_t)(seconds * 1e9);
    while (!stopping) {
        uint64_t now = now_ns();
        if (now >= end) break;
        while (heap_len > 0 && heap[0]->due <= now) {
            struct frame* f = heap_pop();
            send_now(f->out, f->data, f->len);
            free(f);
        }
        for (int side = 0; side < 2; ++side) {
            if (held[side].len > 0 && now - held[side].since > 50000000ULL) {
                enqueue(side, held[side].data, held[side].len, now);
                held[side].len = 0;
            }
        }
        int timeout_ms = 10;
        if (heap_len > 0) {
            uint64_t wait = heap[0]->due > now ? heap[0]->due - now : 0;
            timeout_ms = (int)((wait + 999999) / 1000000);
            if (timeout_ms > 10) timeout_ms = 10;
        }
        struct pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(p, 2, timeout_ms) < 0) {
            if (errno == EINTR) continue;
            perror("impair: poll");
            break;
        }
        for (int side = 0; side < 2; ++side) {
            if (!(p[side].revents & POLLIN)) continue;
            struct sockaddr_ll from;
            socklen_t fromlen = sizeof from;
            ssize_t n = recvfrom(fds[side], buf, sizeof buf, MSG_DONTWAIT, (struct sockaddr*)&from,
                                 &fromlen);
            if (n <= 0) continue;
            /* Our own transmissions come back on the sending socket. */
            if (from.sll_pkttype == PACKET_OUTGOING) continue;
            if (n > MAX_FRAME) continue;
            const int out = 1 - side, len = (int)n;
            stats.in++;
            now = now_ns();
            if (!is_tcp(buf, len)) {
                send_now(out, buf, len);
                stats.passed++;
                continue;
            }
            if (chance(loss)) {
                stats.dropped++;
                continue;
            }
            uint64_t due = now + (uint64_t)(delay_ms * 1e6);
            if (jitter_ms > 0)
                due += (uint64_t)((double)(rng_next() >> 11) / 9007199254740992.0 * jitter_ms * 1e6);
            struct held* h = &held[out];
            if (h->len == 0 && chance(reorder)) {
                h->len = len;
                h->after = hold;
                h->since = now;
                memcpy(h->data, buf, (size_t)len);
                stats.held++;
                continue;
            }
            enqueue(out, buf, len, due);
            if (chance(dup)) {
                enqueue(out, buf, len, due + 200000);
                stats.duplicated++;
            }
            if (h->len > 0 && --h->after == 0) {
                /* Just behind the frames that overtook it. */
                enqueue(out, h->data, h->len, due + 1000);
                h->len = 0;
            }
        }
    }
    fprintf(stderr,
            "impair: %lu frames in, %lu passed untouched, %lu dropped, %lu duplicated, %lu held "
            "back, %lu sent, %lu lost to a full queue\n",
            stats.in, stats.passed, stats.dropped, stats.duplicated, stats.held, stats.sent,
            stats.overflow);
    return 0;
}
