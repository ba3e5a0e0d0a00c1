/* A one-way delay for every IP packet routed through a TUN device: each packet
 * read from the device is written back into it DELAY_MS later, in order, and
 * the kernel then routes it on. The benchmark's middle namespace sends both
 * directions of the link through it (the kernel here has no netem), so the
 * round trip is twice DELAY_MS; the rate limit is tbf's job, not this one's.
 *
 * Usage: delayline TUNDEV DELAY_MS
 * The device must exist (ip tuntap add ... mode tun). Packets that arrive while
 * the queue is full are dropped, as a link's buffer would. Exits when its
 * parent dies, on SIGTERM, or when the device goes away. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

/* 100 Mbit/s of full-size packets for 40 ms is about 350; the slack covers
 * what TCP keeps in flight in the queue after the delay. */
#define SLOTS 16384
#define SLOT_BYTES 2048

struct slot
{
    int64_t due_ns;
    uint16_t len;
    unsigned char data[SLOT_BYTES];
};

static struct slot queue[SLOTS];
static volatile sig_atomic_t stop;

static void on_signal(int sig)
{
    (void)sig;
    stop = 1;
}

static int64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s TUNDEV DELAY_MS\n", argv[0]);
        return 2;
    }
    const int64_t delay_ns = (int64_t)(atof(argv[2]) * 1e6);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);

    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        perror("delayline: /dev/net/tun");
        return 1;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", argv[1]);
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        perror("delayline: TUNSETIFF");
        return 1;
    }

    size_t head = 0, count = 0;
    unsigned long long dropped = 0, forwarded = 0;
    while (!stop) {
        /* Sleep until a packet arrives or the oldest one is due. */
        struct timespec wait = {1, 0};
        if (count > 0) {
            int64_t left = queue[head].due_ns - now_ns();
            if (left < 0)
                left = 0;
            wait.tv_sec = left / 1000000000;
            wait.tv_nsec = left % 1000000000;
        }
        struct pollfd p = {fd, POLLIN, 0};
        int ready = ppoll(&p, 1, &wait, NULL);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            perror("delayline: poll");
            return 1;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
        if (p.revents & POLLIN) {
            for (;;) {
                struct slot* s = &queue[(head + count) % SLOTS];
                unsigned char scratch[SLOT_BYTES];
                ssize_t n = read(fd, count < SLOTS ? s->data : scratch, SLOT_BYTES);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EINTR)
                        break;
                    perror("delayline: read");
                    return 1;
                }
                if (count == SLOTS) {
                    ++dropped;
                    continue;
                }
                s->len = (uint16_t)n;
                s->due_ns = now_ns() + delay_ns;
                ++count;
            }
        }
        const int64_t now = now_ns();
        while (count > 0 && queue[head].due_ns <= now) {
            /* A full device queue drops the packet, like a full link. */
            if (write(fd, queue[head].data, queue[head].len) < 0 && errno != EAGAIN &&
                errno != ENOBUFS && errno != EINTR) {
                perror("delayline: write");
                return 1;
            }
            ++forwarded;
            head = (head + 1) % SLOTS;
            --count;
        }
    }
    fprintf(stderr, "delayline: %llu packets forwarded, %llu dropped on a full queue\n", forwarded,
            dropped);
    return 0;
}
