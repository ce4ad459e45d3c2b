// The service manager's messages, received on a datagram socket that stands
// in for the manager's.
#include "platform/service_notify.h"
#include "tests/support/scratch_directory.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The variables a service manager sets, removed again at the end.
class ManagerEnvironment {
public:
    ManagerEnvironment(const std::string& socket_path, const std::string& watchdog_usec)
    {
        setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
        setenv("WATCHDOG_USEC", watchdog_usec.c_str(), 1);
        setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    }
    ~ManagerEnvironment()
    {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }
};

// The next datagram on fd, or "" when none comes within a second.
std::string next_message(int fd)
{
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, 1000) != 1)
        return "";
    char buffer[512];
    ssize_t size = recv(fd, buffer, sizeof buffer, 0);
    return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : "";
}

TEST(ServiceNotify, MessagesReachTheManagersSocketAndTheWatchdogIsRead)
{
    if (!service_notify_built_in())
        GTEST_SKIP() << "built without libsystemd: nothing is ever sent";
    EXPECT_FALSE(service_notify("READY=1")) << "no NOTIFY_SOCKET, nothing to send to";
    EXPECT_EQ(service_watchdog_usec(), 0u);

    ScratchDirectory dir;
    std::string path = (dir.path() / "notify").string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    {
        ManagerEnvironment manager(path, "4000000");
        EXPECT_TRUE(service_notify("READY=1"));
        EXPECT_EQ(next_message(fd), "READY=1");
        EXPECT_TRUE(service_notify("STATUS=3 online, 120 frames/s"));
        EXPECT_EQ(next_message(fd), "STATUS=3 online, 120 frames/s");
        EXPECT_EQ(service_watchdog_usec(), 4'000'000u);
    }
    {
        ManagerEnvironment parents_watchdog(path, "4000000");
        setenv("WATCHDOG_PID", "1", 1);
        EXPECT_EQ(service_watchdog_usec(), 0u) << "the watchdog is another process's";
    }
    close(fd);
}

} // namespace
