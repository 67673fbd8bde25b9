// The shared memory the two processes map: a description that promises more
// than the received file holds is refused (mapping it would fault on the first
// access past its end), and the descriptor is closed either way.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "audiounit/remote/RemoteUnitChannel.hpp"

using namespace audiounit::remote;

namespace {

int memfdOf(std::size_t bytes) {
    const int fd = ::memfd_create("channel-test", MFD_CLOEXEC);
    if (fd >= 0 && ::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

TEST(SharedMemoryAdoption, TakesAFileAsLargeAsDescribedAndRefusesAShorterOne) {
    std::string why;
    const int shorter = memfdOf(4096);
    ASSERT_GE(shorter, 0);
    {
        const SharedMemory refused = SharedMemory::adopt(shorter, 8192, &why);
        EXPECT_FALSE(refused);
        EXPECT_EQ(why, "the shared memory is smaller than its description");
    }
    EXPECT_FALSE(isOpen(shorter));

    const int exact = memfdOf(8192);
    ASSERT_GE(exact, 0);
    {
        const SharedMemory taken = SharedMemory::adopt(exact, 8192, &why);
        ASSERT_TRUE(taken);
        EXPECT_EQ(taken.size(), 8192u);
        taken.data()[8191] = std::byte{7};  // the last byte is there
        EXPECT_TRUE(isOpen(exact));
    }
    EXPECT_FALSE(isOpen(exact));
}
