/* A QuillmarshServer client in C with POSIX sockets.
 *
 *   QM_LOGIN=team QM_PASSWORD=s3cret quillmarsh_client HOST PORT ADDRESS
 *   QM_LOGIN=team QM_PASSWORD=s3cret quillmarsh_client HOST PORT ADDRESS TO TEXT
 *
 * Logs in, announces ADDRESS, and then either sends TEXT to TO as the frame
 * say "ADDRESS" "TO" TEXT and ends, or prints every frame that arrives, one
 * per line, until the server closes the connection. The bytes are described
 * in docs/protocol.md. Addresses are sent quoted as they are: keep quotes
 * and backslashes out of them. */
#define _POSIX_C_SOURCE 200809L
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { FRAME_MAX = 4095, LOGIN_SETTLE_MS = 500, KEEP_ALIVE_S = 20 };

static void fail(const char* what)
{
    fprintf(stderr, "quillmarsh_client: %s\n", what);
    exit(1);
}

static void send_all(int sock, const char* bytes, size_t size)
{
    while (size > 0) {
        ssize_t n = send(sock, bytes, size, MSG_NOSIGNAL);
        if (n <= 0)
            fail("connection lost");
        bytes += n;
        size -= (size_t)n;
    }
}

/* The text and its check byte: 0x80 | (sum of the bytes mod 256). */
static void send_frame(int sock, const char* text)
{
    char frame[FRAME_MAX];
    size_t n = strlen(text);
    unsigned sum = 0;
    if (n > FRAME_MAX - 1)
        fail("a frame's text is at most 4094 bytes");
    for (size_t i = 0; i < n; i++) {
        if ((unsigned char)text[i] > 0x7F)
            fail("a frame's text is 7-bit");
        sum += (unsigned char)text[i];
        frame[i] = text[i];
    }
    frame[n] = (char)(0x80 | (sum & 0x7F));
    send_all(sock, frame, n + 1);
}

static void expect(int sock, const char* prompt)
{
    char got[16];
    size_t want = strlen(prompt), have = 0;
    while (have < want) {
        ssize_t n = recv(sock, got + have, want - have, 0);
        if (n <= 0)
            fail("closed before the prompt");
        have += (size_t)n;
    }
    if (memcmp(got, prompt, want) != 0)
        fail("unexpected prompt");
}

static int connect_to(const char* host, const char* port)
{
    struct addrinfo hints = {0}, *found, *at;
    int sock = -1;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, port, &hints, &found) != 0)
        fail("cannot resolve the host");
    for (at = found; at && sock < 0; at = at->ai_next) {
        sock = socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (sock >= 0 && connect(sock, at->ai_addr, at->ai_addrlen) != 0) {
            close(sock);
            sock = -1;
        }
    }
    freeaddrinfo(found);
    if (sock < 0)
        fail("cannot connect");
    return sock;
}

/* Prints the frames in buffer[0, *used) and keeps a partial one; a frame
 * ends at its check byte, the first byte with the high bit set. */
static void print_frames(char* buffer, size_t* used)
{
    size_t start = 0;
    unsigned sum = 0;
    for (size_t i = 0; i < *used; i++) {
        unsigned char c = (unsigned char)buffer[i];
        if (c < 0x80) {
            sum += c;
            continue;
        }
        if (c != (0x80 | (sum & 0x7F)))
            fputs("[bad check byte] ", stdout);
        for (size_t j = start; j < i; j++) {
            unsigned char b = (unsigned char)buffer[j];
            printf(b >= 32 && b < 127 ? "%c" : "\\x%02x", b);
        }
        putchar('\n');
        start = i + 1;
        sum = 0;
    }
    fflush(stdout);
    memmove(buffer, buffer + start, *used - start);
    *used -= start;
}

static void listen_for_frames(int sock)
{
    static char buffer[2 * FRAME_MAX];
    size_t used = 0;
    time_t last_sent = time(NULL);
    for (;;) {
        struct pollfd wait = {sock, POLLIN, 0};
        if (poll(&wait, 1, 1000) > 0) {
            ssize_t n = recv(sock, buffer + used, sizeof buffer - used, 0);
            if (n <= 0)
                return;
            used += (size_t)n;
            print_frames(buffer, &used);
            if (used == sizeof buffer)
                used = 0; /* no check byte in two frames' worth: not a frame */
        }
        /* The server closes a client silent for 60 s. One field: the
         * server drops it, but it counts as input. */
        if (time(NULL) - last_sent >= KEEP_ALIVE_S) {
            send_frame(sock, "-");
            last_sent = time(NULL);
        }
    }
}

int main(int argc, char** argv)
{
    const char* login = getenv("QM_LOGIN");
    const char* password = getenv("QM_PASSWORD");
    char text[FRAME_MAX];
    if ((argc != 4 && argc != 6) || !login || !password)
        fail("usage: QM_LOGIN=.. QM_PASSWORD=.. quillmarsh_client HOST PORT ADDRESS [TO TEXT]");
    int sock = connect_to(argv[1], argv[2]);
    expect(sock, "login:");
    send_all(sock, login, strlen(login));
    send_all(sock, "\r\n", 2);
    expect(sock, "password:");
    send_all(sock, password, strlen(password));
    send_all(sock, "\r\n", 2);
    /* The server never says yes: a refused login is closed without a word.
     * Bytes that come instead are frames, left for the listener to read. */
    struct pollfd settle = {sock, POLLIN, 0};
    char byte;
    if (poll(&settle, 1, LOGIN_SETTLE_MS) > 0 && recv(sock, &byte, 1, MSG_PEEK) == 0)
        fail("login refused");
    /* Announcing is a frame from the address; sent to the address itself,
     * it reaches only others that speak for it. */
    snprintf(text, sizeof text, "hello \"%s\" \"%s\"", argv[3], argv[3]);
    send_frame(sock, text);
    if (argc == 4) {
        fprintf(stderr, "listening as %s\n", argv[3]);
        listen_for_frames(sock);
        return 0;
    }
    snprintf(text, sizeof text, "say \"%s\" \"%s\" %s", argv[3], argv[4], argv[5]);
    send_frame(sock, text);
    /* Every whole frame is relayed before the server sees the end of the
     * stream; it then closes the connection. */
    shutdown(sock, SHUT_WR);
    while (recv(sock, text, sizeof text, 0) > 0)
        ;
    close(sock);
    return 0;
}
