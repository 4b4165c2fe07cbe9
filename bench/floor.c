/* strevix-floor: what reading a capture file costs, the floor under every analyser.
 *
 *   strevix-floor FILE          a bare pcap_loop that counts packets
 *   strevix-floor --parse FILE  also takes Ethernet, IPv4 and TCP apart and looks the 4-tuple
 *                               up in a hash table (inserting new ones), for orientation
 *
 * Prints "packets N" (and, with --parse, "tcp N flows N payload N") on stdout. */

#include <pcap/pcap.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct flow {
    uint32_t src, dst;
    uint32_t ports; /* source port << 16 | destination port; 0 marks an empty slot with src 0 */
    uint32_t used;
    uint64_t packets, bytes;
};

struct state {
    uint64_t packets, tcp, payload;
    int parse;
    struct flow* table;
    size_t mask, count;
};

static uint64_t hash_tuple(uint32_t src, uint32_t dst, uint32_t ports) {
    uint64_t h = ((uint64_t)src << 32 | dst) * 0x9E3779B97F4A7C15ull;
    h ^= (h >> 29) + ports * 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

static int grow(struct state* s) {
    size_t cap = (s->mask + 1) * 2;
    struct flow* t = calloc(cap, sizeof *t);
    if (t == NULL) return -1;
    for (size_t i = 0; i <= s->mask; ++i) {
        struct flow* f = &s->table[i];
        if (!f->used) continue;
        size_t j = hash_tuple(f->src, f->dst, f->ports) & (cap - 1);
        while (t[j].used) j = (j + 1) & (cap - 1);
        t[j] = *f;
    }
    free(s->table);
    s->table = t;
    s->mask = cap - 1;
    return 0;
}

static struct flow* lookup(struct state* s, uint32_t src, uint32_t dst, uint32_t ports) {
    size_t i = hash_tuple(src, dst, ports) & s->mask;
    for (;;) {
        struct flow* f = &s->table[i];
        if (!f->used) break;
        if (f->src == src && f->dst == dst && f->ports == ports) return f;
        i = (i + 1) & s->mask;
    }
    if ((s->count + 1) * 2 > s->mask + 1) {
        if (grow(s) != 0) return NULL;
        return lookup(s, src, dst, ports);
    }
    struct flow* f = &s->table[i];
    f->src = src;
    f->dst = dst;
    f->ports = ports;
    f->used = 1;
    ++s->count;
    return f;
}

static uint32_t be32(const u_char* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}
static unsigned be16(const u_char* p) {
    return (unsigned)p[0] << 8 | p[1];
}

static void on_packet(u_char* user, const struct pcap_pkthdr* h, const u_char* bytes) {
    struct state* s = (struct state*)user;
    ++s->packets;
    if (!s->parse) return;
    const uint32_t n = h->caplen;
    if (n < 14 + 20 || be16(bytes + 12) != 0x0800) return;
    const u_char* ip = bytes + 14;
    const unsigned ihl = (ip[0] & 15u) * 4;
    const unsigned total = be16(ip + 2);
    if ((ip[0] >> 4) != 4 || ihl < 20 || ip[9] != 6 || 14 + ihl + 20 > n || total < ihl + 20)
        return;
    const u_char* tcp = ip + ihl;
    const unsigned thl = (tcp[12] >> 4) * 4u;
    if (thl < 20 || total < ihl + thl) return;
    ++s->tcp;
    const unsigned payload = total - ihl - thl;
    struct flow* f = lookup(s, be32(ip + 12), be32(ip + 16), be32(tcp));
    if (f != NULL) {
        ++f->packets;
        f->bytes += payload;
    }
    s->payload += payload;
}

int main(int argc, char** argv) {
    struct state s;
    memset(&s, 0, sizeof s);
    const char* path = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--parse") == 0)
            s.parse = 1;
        else if (path == NULL)
            path = argv[i];
        else
            path = NULL, i = argc;
    }
    if (path == NULL) {
        fprintf(stderr, "usage: strevix-floor [--parse] FILE\n");
        return 2;
    }
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path, err);
    if (p == NULL) {
        fprintf(stderr, "strevix-floor: %s\n", err);
        return 1;
    }
    if (s.parse) {
        s.mask = (1u << 16) - 1;
        s.table = calloc(s.mask + 1, sizeof *s.table);
        if (s.table == NULL) {
            fprintf(stderr, "strevix-floor: out of memory\n");
            return 1;
        }
    }
    int rc = pcap_loop(p, -1, on_packet, (u_char*)&s);
    if (rc == -1) {
        fprintf(stderr, "strevix-floor: %s\n", pcap_geterr(p));
        pcap_close(p);
        return 1;
    }
    pcap_close(p);
    printf("packets %llu\n", (unsigned long long)s.packets);
    if (s.parse) {
        printf("tcp %llu flows %llu payload %llu\n", (unsigned long long)s.tcp,
               (unsigned long long)s.count, (unsigned long long)s.payload);
    }
    free(s.table);
    return 0;
}
