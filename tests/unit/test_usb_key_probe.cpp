#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox_device.hpp"
#include "storage/usb_key_probe.hpp"
#include "tarvex_constants.hpp"

namespace {

using sandbox::line;
using sandbox::output;
using sandbox::sh;

struct FdiskLineCase {
    const char* name;
    std::string line;
    uint64_t bytes;
};

class FdiskFirstLine : public testing::TestWithParam<FdiskLineCase> {};

TEST_P(FdiskFirstLine, ByteCount) {
    EXPECT_EQ(parseFdiskByteCount(GetParam().line), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FdiskFirstLine,
    testing::Values(
        FdiskLineCase{"Partition", "Disk /dev/sda1: 7.5 GiB, 8053063680 bytes, 15728640 sectors\n",
                      8053063680ULL},
        FdiskLineCase{"Small", "Disk /dev/sdb2: 100 MiB, 104857600 bytes, 204800 sectors\n",
                      104857600ULL},
        FdiskLineCase{"Beyond32Bits", "Disk /dev/sdc1: 1.82 TiB, 2000398934016 bytes, x\n",
                      2000398934016ULL},
        FdiskLineCase{"NoComma", "fdisk: cannot open /dev/sda9: No such file\n", 0},
        FdiskLineCase{"CommaLastBeforeNewline", "Disk /dev/sda1: 7.5 GiB,\n", 0},
        FdiskLineCase{"CommaAtEndNoNewline", "Disk /dev/sda1: 7.5 GiB,", 0},
        FdiskLineCase{"NoDigitsAfterComma", "Disk /dev/sda1: 7.5 GiB, many bytes\n", 0},
        FdiskLineCase{"ExtraBlanksSkipped", "Disk x, \t  42 bytes\n", 42},
        FdiskLineCase{"OnlyFirstCommaCounts", "Disk x,y, 42 bytes\n", 0},
        FdiskLineCase{"CharacterAfterCommaIsSkippedWhatever", "Disk x,_7 bytes\n", 7},
        FdiskLineCase{"Empty", "", 0}),
    [](const testing::TestParamInfo<FdiskLineCase>& info) { return info.param.name; });

class KeyProbe : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        sandbox::resetDevice();
    }
    void TearDown() override {
        sandbox::restoreFdisk();
        sh("rm -f /dev/sd* /dev/mmcblk0*; for k in $(ls /run/tarvex/keys 2>/dev/null); do "
           "key destroy ${k%.img}; done");
    }
};

TEST_F(KeyProbe, NoDiskRunsNoCommand) {
    ASSERT_TRUE(sh("mknod /dev/mmcblk0 b 179 0 && mknod /dev/mmcblk0p1 b 179 1"));
    ASSERT_TRUE(sh("mknod /dev/sdx c 1 3"));  // right name, but not a block device
    testing::internal::CaptureStdout();
    const UsbKeyProbe probe = isUsbKeyInserted();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(probe.letter, 0);
    EXPECT_EQ(probe.partition, -1);
}

TEST_F(KeyProbe, LargestPartitionWinsWhateverItsNumber) {
    ASSERT_TRUE(sh("key create big --table dos 100M:raw 8G:raw 50M:raw"));
    ASSERT_TRUE(sh("key insert big sdc"));
    const UsbKeyProbe probe = isUsbKeyInserted();
    EXPECT_EQ(probe.letter, 'c');
    EXPECT_EQ(probe.partition, 2);
    EXPECT_EQ(ReadPartitionSize("sdc2"), 8ULL << 30);
    sh("key pull sdc; key destroy big");
}

TEST_F(KeyProbe, EqualSizesKeepTheFirstListed) {
    ASSERT_TRUE(sh("key create twins --table dos 64M:raw 64M:raw"));
    ASSERT_TRUE(sh("key insert twins sda"));
    // The listing order of a tmpfs directory is not the creation order, so ask
    // it which partition it yields first.
    const std::string first = sandbox::output("ls -U /dev | grep -m1 -E '^sda[0-9]+$'");
    ASSERT_FALSE(first.empty());
    const UsbKeyProbe probe = isUsbKeyInserted();
    EXPECT_EQ(probe.letter, 'a');
    EXPECT_EQ(probe.partition, std::stoi(first.substr(3)));
    sh("key pull sda; key destroy twins");
}

TEST_F(KeyProbe, KeyWithoutPartitionTableUsesWholeDisk) {
    ASSERT_TRUE(sh("key create bare --table none 64M:raw"));
    ASSERT_TRUE(sh("key insert bare sda"));
    const UsbKeyProbe probe = isUsbKeyInserted();
    EXPECT_EQ(probe.letter, 'a');
    EXPECT_EQ(probe.partition, -1);
    sh("key pull sda; key destroy bare");
}

TEST_F(KeyProbe, FirstListedDiskWinsAndFourLetterNamesAreNotDisks) {
    ASSERT_TRUE(sh("key create k1 --table dos 64M:raw && key create k2 --table dos 32M:raw"));
    ASSERT_TRUE(sh("key insert k1 sdb && key insert k2 sdd"));
    // sdab is disk 28, never a disk here; for disk a it would be "partition 0".
    ASSERT_TRUE(sh("mknod /dev/sdab b 7 250"));
    const std::string first = sandbox::output("ls -U /dev | grep -m1 -E '^sd[a-z]$'");
    ASSERT_EQ(first.size(), 4u);
    const UsbKeyProbe probe = isUsbKeyInserted();
    EXPECT_EQ(probe.letter, first[2]);
    EXPECT_EQ(probe.partition, 1);
    sh("key pull sdb; key pull sdd; key destroy k1; key destroy k2");
}

TEST_F(KeyProbe, FourLetterDiskIsQueriedAsPartitionZeroAndNeverChosen) {
    ASSERT_TRUE(sh("key create k --table dos 64M:raw && key insert k sda"));
    ASSERT_TRUE(sh("mknod /dev/sdab b 7 250"));
    testing::internal::CaptureStdout();
    const UsbKeyProbe probe = isUsbKeyInserted();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(probe.letter, 'a');
    EXPECT_EQ(probe.partition, 1);
    EXPECT_EQ(out, sandbox::line(tarvex::kLinePartitionSizeFailed));  // the sda0 query
    sh("key pull sda; key destroy k");
}

TEST_F(KeyProbe, VanishedNodeReportsFailureAndSizeZero) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadPartitionSize("sdq7"), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              sandbox::line(tarvex::kLinePartitionSizeFailed));
}

// A partition the kernel had not added yet when /dev was listed still counts:
// the read of another one's size waits until the kernel has added it (here
// the fake fdisk adds it).
TEST_F(KeyProbe, PartitionAddedWhileSizesAreReadStillCounts) {
    ASSERT_TRUE(sh("key create k --table dos 16M:raw 32M:raw && key insert k sda"));
    ASSERT_TRUE(
        sh("stat -c 'mknod /dev/sda2 b $((0x%t)) $((0x%T))' /dev/sda2 > /tmp/add-sda2 && "
           "rm /dev/sda2"));
    ASSERT_TRUE(
        sandbox::breakFdisk("[ -e /dev/sda2 ] || sh /tmp/add-sda2; exec /tmp/real-fdisk \"$@\""));
    testing::internal::CaptureStdout();
    const UsbKeyProbe found = isUsbKeyInserted();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(found.partition, 2);
    sh("key pull sda; rm -f /tmp/add-sda2");
}

// The larger partition's size read fails: while it is read again nothing may
// be mounted; once backed off, it is read again along with the smaller one
// when that node changes (udev got to it first, say), so it is not passed over.
TEST_F(KeyProbe, LargerPartitionWhoseReadFailsIsNotPassedOver) {
    ASSERT_TRUE(sh("key create k --table dos 16M:raw 32M:raw && key insert k sda"));
    ASSERT_TRUE(sh("echo /dev/sda2 > /tmp/fdisk.fails"));
    ASSERT_TRUE(sandbox::breakFdisk(sandbox::kCountingFdisk));
    testing::internal::CaptureStdout();
    for (size_t probe = 1; probe <= tarvex::kFailedSizeRereads + 1; ++probe) {
        EXPECT_EQ(isUsbKeyInserted().sizesPending, probe <= tarvex::kFailedSizeRereads) << probe;
    }
    ASSERT_TRUE(sh("rm /tmp/fdisk.fails && chmod 600 /dev/sda1"));
    const UsbKeyProbe found = isUsbKeyInserted();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(found.partition, 2);
    sh("key pull sda");
}

// A node whose size read fails is read again by the next 3 probes, then after
// 3 more, 6 more, then every 10th probe; once the node changes (here its change
// time), at once.
TEST_F(KeyProbe, FailedSizeReadsBackOff) {
    ASSERT_TRUE(sh("key create k --table dos 16M:raw 32M:raw && key insert k sda"));
    ASSERT_TRUE(sh("echo /dev/sda1 > /tmp/fdisk.fails && rm -f /tmp/fdisk.runs"));
    ASSERT_TRUE(sandbox::breakFdisk(sandbox::kCountingFdisk));
    const auto sda1Reads = [] { return output("grep -c sda1 /tmp/fdisk.runs"); };
    std::vector<int> readAt;
    std::string last = sda1Reads();
    for (int probe = 1; probe <= 33; ++probe) {
        testing::internal::CaptureStdout();
        const UsbKeyProbe found = isUsbKeyInserted();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(found.partition, 2);
        const std::string reads = sda1Reads();
        if (reads != last) {
            readAt.push_back(probe);
        }
        last = reads;
    }
    EXPECT_EQ(readAt, (std::vector<int>{1, 2, 3, 4, 8, 15, 25}));
    EXPECT_EQ(output("grep -c sda2 /tmp/fdisk.runs"), "1\n");
    ASSERT_TRUE(sh("chmod 600 /dev/sda1"));
    testing::internal::CaptureStdout();
    isUsbKeyInserted();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line(tarvex::kLinePartitionSizeFailed));
    EXPECT_NE(sda1Reads(), last) << "a changed node waits for its backoff";
    sh("key pull sda");
}

}  // namespace
