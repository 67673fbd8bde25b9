// Shared memory shorter than described is refused (mapping it would fault past the end).

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "audiounit/remote/RemoteUnitChannel.hpp"

using namespace audiounit::remote;

TEST(SharedMemoryAdoption, TakesAFileAsLargeAsDescribedAndRefusesAShorterOne) {
    for (const off_t fileSize : {4096, 8192}) {  // described as 8192 bytes
        SCOPED_TRACE(fileSize);
        const int fd = ::memfd_create("channel-test", MFD_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, fileSize), 0);
        std::string why;
        {
            const SharedMemory memory = SharedMemory::adopt(fd, 8192, &why);
            ASSERT_EQ(bool(memory), fileSize == 8192);
            if (memory) {
                EXPECT_EQ(memory.size(), 8192u);
                memory.data()[8191] = std::byte{7};  // the last byte is there
                EXPECT_NE(::fcntl(fd, F_GETFD), -1);  // held while mapped
            } else {
                EXPECT_EQ(why, "the shared memory is smaller than its description");
            }
        }
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    }
}
