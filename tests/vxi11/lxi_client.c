/* An independent VXI-11 client against the simulator: Debian's liblxi
 * (lxi_connect with VXI11, lxi_send, lxi_receive) asks for the
 * identification and a definite-length block and checks both.
 *
 *   vx_lxi_client ADDRESS IDN_PREFIX
 *
 * Exit 0 when both came back right, 1 otherwise, 2 outside the test
 * namespace (tests/netns_run.sh). */
#include <lxi.h>
#include <net/if.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int isolated(void) {
    const char *flag = getenv("VX_NETNS_ISOLATED");
    struct if_nameindex *list, *i;
    int only_lo = 1;
    if (!flag || strcmp(flag, "1") != 0) return 0;
    list = if_nameindex();
    if (!list) return 0;
    for (i = list; i->if_index != 0; ++i)
        if (strcmp(i->if_name, "lo") != 0) only_lo = 0;
    if_freenameindex(list);
    return only_lo;
}

static uint64_t fnv1a(const unsigned char *p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    while (n--) h = (h ^ *p++) * 1099511628211ull;
    return h;
}

static int query(int dev, const char *cmd, char *buf, int size) {
    int n;
    if (lxi_send(dev, cmd, (int)strlen(cmd), 2000) != (int)strlen(cmd)) {
        fprintf(stderr, "lxi_send of '%s' failed\n", cmd);
        return -1;
    }
    n = lxi_receive(dev, buf, size, 2000);
    if (n < 0) fprintf(stderr, "lxi_receive after '%s' failed\n", cmd);
    return n;
}

int main(int argc, char **argv) {
    enum { kBlock = 300000 };
    static char buf[kBlock + 64];
    char sum[64], want[64];
    int dev, n;
    if (argc != 3) {
        fprintf(stderr, "usage: vx_lxi_client ADDRESS IDN_PREFIX\n");
        return 2;
    }
    if (!isolated()) {
        fprintf(stderr, "vx_lxi_client: refusing to run outside tests/netns_run.sh\n");
        return 2;
    }
    lxi_init();
    dev = lxi_connect(argv[1], 0, "inst0", 3000, VXI11);
    if (dev == LXI_ERROR) {
        fprintf(stderr, "lxi_connect to %s failed\n", argv[1]);
        return 1;
    }
    n = query(dev, "*IDN?\n", buf, (int)sizeof buf - 1);
    if (n < 0) return 1;
    buf[n] = 0;
    if (strncmp(buf, argv[2], strlen(argv[2])) != 0) {
        fprintf(stderr, "*IDN? gave '%s', expected it to start with '%s'\n", buf, argv[2]);
        return 1;
    }
    /* Larger than a reply of one device_read: liblxi reads on until END. */
    n = query(dev, "BLOCK? 300000\n", buf, (int)sizeof buf);
    if (n != 8 + kBlock || memcmp(buf, "#6300000", 8) != 0) {
        fprintf(stderr, "BLOCK? 300000 gave %d bytes starting '%.8s'\n", n, n >= 8 ? buf : "");
        return 1;
    }
    snprintf(want, sizeof want, "%d,%016llx\n", kBlock,
             (unsigned long long)fnv1a((const unsigned char *)buf + 8, kBlock));
    n = query(dev, "BLOCKSUM? 300000\n", sum, (int)sizeof sum - 1);
    if (n < 0) return 1;
    sum[n] = 0;
    if (strcmp(sum, want) != 0) {
        fprintf(stderr, "block data wrong: simulator says %s, received %s", sum, want);
        return 1;
    }
    lxi_disconnect(dev);
    printf("liblxi over VXI-11 to %s: identification and a %d-byte block read right\n", argv[1], kBlock);
    return 0;
}
