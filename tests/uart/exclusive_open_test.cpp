// A port that this process holds is refused without being opened again.
// On the UART the kernel raises DTR and RTS on every open of the terminal,
// so a refused second open used to leave RTS up on the holder's line; here
// the device's own open events (inotify) show whether it was opened at all.
#include <errno.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "serial/comm_platform.h"

namespace {

class HeldPort : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[128] = {};
        ASSERT_EQ(openpty(&far_, &device_, name, nullptr, nullptr), 0);
        path_ = name;
        char directory[] = "/tmp/qivma-held-XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        directory_ = directory;
        link_ = directory_ + "/line";
        ASSERT_EQ(symlink(path_.c_str(), link_.c_str()), 0);
        opens_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(opens_, 0);
        ASSERT_GE(inotify_add_watch(opens_, path_.c_str(), IN_OPEN), 0);
    }
    void TearDown() override {
        unlink(link_.c_str());
        rmdir(directory_.c_str());
        for (const int fd : {opens_, device_, far_}) {
            if (fd >= 0)
                close(fd);
        }
    }
    // Whether the device was opened since the last look.
    bool Opened() {
        char events[1024];
        bool any = false;
        while (read(opens_, events, sizeof events) > 0)
            any = true;
        return any;
    }

    int far_ = -1, device_ = -1, opens_ = -1;
    std::string path_, directory_, link_;
};

TEST_F(HeldPort, ASecondOpenIsRefusedWithoutOpeningTheDevice) {
    const std::string relative = path_.substr(std::string("/dev/").size());
    const QivPortHandle held = PlatformCreateFile(path_.c_str());
    ASSERT_NE(held, QIV_INVALID_PORT_HANDLE);
    ASSERT_TRUE(Opened()) << "the watch sees an open";
    for (const std::string &name : {path_, relative, link_}) {
        EXPECT_EQ(PlatformCreateFile(name.c_str()), QIV_INVALID_PORT_HANDLE) << name;
        EXPECT_EQ(PlatformLastError(), static_cast<uint32_t>(EBUSY)) << name;
        EXPECT_FALSE(Opened()) << name << " was opened again";
    }
    // The null device is no device that a port holds: it opens beside it.
    const QivPortHandle null = PlatformCreateFile("NUL");
    EXPECT_NE(null, QIV_INVALID_PORT_HANDLE);
    EXPECT_TRUE(PlatformCloseHandle(null));

    ASSERT_TRUE(PlatformCloseHandle(held));
    const QivPortHandle again = PlatformCreateFile(relative.c_str());
    EXPECT_NE(again, QIV_INVALID_PORT_HANDLE) << "free once the holder has closed it";
    EXPECT_TRUE(Opened());
    EXPECT_TRUE(PlatformCloseHandle(again));
}

}  // namespace
