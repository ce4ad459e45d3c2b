// TLS over a loopback pair with both ends non-blocking, driven the way the
// server's loop drives it: a poll, then whatever each end can do now.
#include "platform/client.h"
#include "platform/tls.h"
#include "protocol/frame.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_certificate.h"

#include <gtest/gtest.h>

#ifdef QM_HAVE_OPENSSL
#include <openssl/ssl.h>
#endif

#include <functional>
#include <string>

namespace {

#ifdef QM_HAVE_OPENSSL

// Two ends of one loopback connection, both non-blocking.
struct SocketPair {
    SocketPair()
    {
        std::uint16_t port = 0;
        socket_handle listener = client_listen_loopback(&port);
        client = client_connect("127.0.0.1", port);
        PeerAddress peer{};
        server = platform.accept(listener, &peer);
        client_close(listener);
        client_set_nonblocking(client);
        platform.set_nonblocking(server);
    }
    ~SocketPair()
    {
        client_close(client);
        client_close(server);
    }
    socket_handle client = INVALID_SOCKET_HANDLE;
    socket_handle server = INVALID_SOCKET_HANDLE;
};

// Polls both ends (for writing where TLS wants it) and lets step do what
// it can, until step says it is done; false after 5 s without that.
bool drive(const SocketPair& pair, bool client_wants_write, bool server_wants_write,
           const std::function<bool()>& step)
{
    for (std::int64_t deadline = platform.monotonic_ms() + 5000; platform.monotonic_ms() < deadline;) {
        if (step())
            return true;
        ClientPoll polls[2] = {{pair.client, client_wants_write, false, false},
                               {pair.server, server_wants_write, false, false}};
        client_poll(polls, 2, 10);
    }
    return false;
}

// A TLS connection over a SocketPair, each end freed before the sockets.
struct TlsPair {
    TlsPair(TlsContext* server_context, TlsContext* client_context)
    {
        std::string error;
        server = tls_accept(server_context, sockets.server, &error);
        client = tls_connect(client_context, sockets.client, "localhost", &error);
    }
    ~TlsPair()
    {
        tls_connection_free(client);
        tls_connection_free(server);
    }
    bool handshake()
    {
        return drive(sockets, true, true, [&] {
            TlsStep a = tls_handshake(client);
            TlsStep b = tls_handshake(server);
            return (a == TlsStep::done && b == TlsStep::done) || a == TlsStep::failed ||
                   b == TlsStep::failed;
        }) && tls_handshake_done(client) && tls_handshake_done(server);
    }
    SocketPair sockets;
    TlsConnection* server = nullptr;
    TlsConnection* client = nullptr;
};

// Sends bytes in pieces of at most piece bytes and receives them at the
// other end in reads of at most read_size. Returns what arrived.
std::string pass(const SocketPair& pair, TlsConnection* from, TlsConnection* to, const std::string& bytes,
                 std::size_t piece, int read_size)
{
    std::size_t sent = 0;
    std::string got;
    drive(pair, true, true, [&] {
        if (sent < bytes.size()) {
            int n = tls_send(from, bytes.data() + sent, static_cast<int>(std::min(piece, bytes.size() - sent)));
            if (n > 0)
                sent += static_cast<std::size_t>(n);
        }
        char buffer[16384];
        int n;
        while ((n = tls_recv(to, buffer, read_size)) > 0)
            got.append(buffer, static_cast<std::size_t>(n));
        return got.size() >= bytes.size();
    });
    return got;
}

struct TlsTest : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(tls_available()) << tls_unavailable_reason();
        files = self_signed(dir.path(), "first");
        std::string error;
        server_context = tls_server_context(files, &error);
        ASSERT_NE(server_context, nullptr) << error;
        client_context = tls_client_context(files.cert, true, &error);
        ASSERT_NE(client_context, nullptr) << error;
    }
    void TearDown() override
    {
        tls_context_release(server_context);
        tls_context_release(client_context);
    }
    ScratchDirectory dir;
    TlsServerFiles files;
    TlsContext* server_context = nullptr;
    TlsContext* client_context = nullptr;
};

TEST_F(TlsTest, FramesPassBothWaysWholeHoweverTheRecordsCutThem)
{
    TlsPair tls(server_context, client_context);
    ASSERT_TRUE(tls.handshake()) << tls_failure(tls.client) << tls_failure(tls.server);
    EXPECT_EQ(tls_peer_subject(tls.client), "CN=first");
    EXPECT_EQ(tls_peer_fingerprint(tls.client).size(), 32u * 3 - 1);

    // One byte per record: the frame arrives whole all the same.
    std::string frame = make_frame("msg alice \"bob\" " + std::string(300, 'x'));
    EXPECT_EQ(pass(tls.sockets, tls.client, tls.server, frame, 1, 255), frame);
    // One record read 255 bytes at a time: after the first read the rest
    // waits inside the library, where no poll sees it.
    std::string big = make_frame("msg bob \"\" " + std::string(4000, 'y'));
    ASSERT_EQ(tls_send(tls.server, big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    char buffer[255];
    std::string got;
    ASSERT_TRUE(drive(tls.sockets, false, false, [&] {
        int n = tls_recv(tls.client, buffer, sizeof buffer);
        got.append(buffer, static_cast<std::size_t>(std::max(n, 0)));
        return n > 0;
    }));
    while (tls_has_buffered_input(tls.client)) {
        int n = tls_recv(tls.client, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        got.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, big);

    // The peer's close reads as the end of the stream.
    tls_connection_free(tls.client);
    tls.client = nullptr;
    char byte;
    int result = -1;
    drive(tls.sockets, false, false, [&] {
        result = tls_recv(tls.server, &byte, 1);
        return result >= 0 || sock_last_error() != WSAEWOULDBLOCK;
    });
    EXPECT_EQ(result, 0);
}

// A writer that outruns its reader: the socket fills and the send waits
// for writability; each retry offers the unsent bytes from a new place (a
// queue that moved). Every byte arrives once, in order.
TEST_F(TlsTest, ABacklogDrainsWholeAfterTheSocketFilledUp)
{
    TlsPair tls(server_context, client_context);
    ASSERT_TRUE(tls.handshake());
    std::string bytes;
    for (int i = 0; bytes.size() < (16 << 20); i++)
        bytes += make_frame(std::to_string(i) + std::string(4000, 'z'));
    std::size_t sent = 0;
    auto send_more = [&] {
        std::string offered = bytes.substr(sent, 65536);
        int n = tls_send(tls.server, offered.data(), static_cast<int>(offered.size()));
        sent += static_cast<std::size_t>(std::max(n, 0));
        return n;
    };
    while (sent < bytes.size() && send_more() > 0) {
    }
    ASSERT_LT(sent, bytes.size()) << "the socket took everything";
    EXPECT_EQ(sock_last_error(), WSAEWOULDBLOCK);
    EXPECT_TRUE(tls_wants_write(tls.server));

    std::string got;
    ASSERT_TRUE(drive(tls.sockets, false, true, [&] {
        if (sent < bytes.size() && send_more() < 0) {
            EXPECT_EQ(sock_last_error(), WSAEWOULDBLOCK) << tls_failure(tls.server);
        }
        char buffer[16384];
        int n;
        while ((n = tls_recv(tls.client, buffer, sizeof buffer)) > 0)
            got.append(buffer, static_cast<std::size_t>(n));
        return got.size() >= bytes.size();
    })) << got.size() << " of " << bytes.size();
    EXPECT_TRUE(got == bytes);
}

// A peer that sends half a record leaves nothing to read: the loop must go
// back to waiting, not spin on bytes it cannot decrypt yet.
TEST_F(TlsTest, HalfARecordIsNothingToReadYet)
{
    TlsPair tls(server_context, client_context);
    ASSERT_TRUE(tls.handshake());
    const char half_record[] = "\x17\x03\x03\x00\x40" "0123456789";
    ASSERT_EQ(client_send_all(tls.sockets.client, half_record, sizeof half_record - 1), 0);
    ClientPoll poll{tls.sockets.server, false, false, false};
    ASSERT_EQ(client_poll(&poll, 1, 5000), 1);
    char buffer[255];
    EXPECT_EQ(tls_recv(tls.server, buffer, sizeof buffer), -1);
    EXPECT_EQ(sock_last_error(), WSAEWOULDBLOCK);
    EXPECT_FALSE(tls_has_buffered_input(tls.server));
}

TEST_F(TlsTest, AClientThatOffersAtMostTls11IsRefused)
{
    SocketPair sockets;
    std::string error;
    TlsConnection* server = tls_accept(server_context, sockets.server, &error);
    SSL_CTX* old_client = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(old_client, 0);
    SSL_CTX_set_min_proto_version(old_client, TLS1_1_VERSION);
    SSL_CTX_set_max_proto_version(old_client, TLS1_1_VERSION);
    SSL* client = SSL_new(old_client);
    SSL_set_fd(client, static_cast<int>(sockets.client));
    TlsStep step = TlsStep::pending;
    drive(sockets, false, false, [&] {
        SSL_connect(client);
        step = tls_handshake(server);
        return step != TlsStep::pending;
    });
    EXPECT_EQ(step, TlsStep::failed);
    EXPECT_STREQ(tls_failure(server), "unsupported protocol");
    SSL_free(client);
    SSL_CTX_free(old_client);
    tls_connection_free(server);
}

TEST_F(TlsTest, AReloadSwapsOnlyAPairThatLoadsAndOpenConnectionsKeepTheirs)
{
    std::string error;
    TlsContext* insecure = tls_client_context("", false, &error);
    TlsPair before(server_context, insecure);
    ASSERT_TRUE(before.handshake());
    std::string first_print = tls_peer_fingerprint(before.client);

    TlsServerFiles second = self_signed(dir.path(), "second");
    TlsContext* kept = server_context;
    TlsServerFiles mismatched{second.cert, files.key, ""};
    EXPECT_FALSE(tls_server_context_reload(&server_context, mismatched, &error));
    EXPECT_EQ(server_context, kept);
    EXPECT_EQ(error, "key " + files.key + " does not match certificate " + second.cert);
    TlsServerFiles missing{dir.path() / "none.crt", second.key, ""};
    EXPECT_FALSE(tls_server_context_reload(&server_context, missing, &error));
    EXPECT_EQ(error.rfind("cannot load certificate " + missing.cert + ": ", 0), 0u) << error;
    EXPECT_EQ(server_context, kept);

    ASSERT_TRUE(tls_server_context_reload(&server_context, second, &error)) << error;
    TlsPair after(server_context, insecure);
    ASSERT_TRUE(after.handshake());
    EXPECT_EQ(tls_peer_subject(after.client), "CN=second");
    EXPECT_NE(tls_peer_fingerprint(after.client), first_print);
    // The connection made before the reload outlives its context.
    std::string frame = make_frame("msg a \"\" still here");
    EXPECT_EQ(pass(before.sockets, before.client, before.server, frame, 5, 255), frame);
    EXPECT_EQ(tls_peer_fingerprint(before.client), first_print);
    tls_context_release(insecure);
}

TEST_F(TlsTest, AClientChecksTheNameAndTheIssuer)
{
    std::string error;
    TlsContext* system_store = tls_client_context("", true, &error);
    ASSERT_NE(system_store, nullptr) << error;
    TlsPair unknown_issuer(server_context, system_store);
    EXPECT_FALSE(unknown_issuer.handshake());
    EXPECT_STREQ(tls_failure(unknown_issuer.client), "certificate verify failed: self-signed certificate");

    SocketPair sockets;
    TlsConnection* server = tls_accept(server_context, sockets.server, &error);
    TlsConnection* client = tls_connect(client_context, sockets.client, "example.org", &error);
    drive(sockets, true, true, [&] {
        return tls_handshake(client) != TlsStep::pending || tls_handshake(server) == TlsStep::failed;
    });
    EXPECT_STREQ(tls_failure(client), "certificate verify failed: hostname mismatch");
    tls_connection_free(client);
    tls_connection_free(server);
    tls_context_release(system_store);
}

#else

TEST(Tls, NeedsOpenSsl)
{
    EXPECT_FALSE(tls_available());
    GTEST_SKIP() << "this build has no TLS: OpenSSL 3 was not found";
}

#endif

} // namespace
