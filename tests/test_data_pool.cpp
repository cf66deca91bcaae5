// The read-ahead queue by direct calls: sending refused when full or locked,
// takes in order, giving up at once on an empty finished queue and after the
// tries otherwise; packets of unreadable files marked failed; one sender thread
// against one taker delivering every packet once, in order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#define VORN_UNIT "tests/data_pool"
#include "data_pool.h"
#include "estimator_fixture.h"

using vorn_test::TempDir;

namespace {

data_package pkg(int64_t n) { return data_package{nullptr, n}; }

}  // namespace

TEST(DataQueue, SendsUpToCapacityAndTakesInOrder) {
    Data_Queue<data_package> q(3);
    q.silent = 1;
    for (int64_t k = 0; k < 3; ++k) EXPECT_EQ(q.send_dp_to_queque(pkg(k)), 1);
    EXPECT_EQ(q.send_dp_to_queque(pkg(99)), 0);  // full
    EXPECT_EQ(q.size(), 3u);
    data_package got{};
    for (int64_t k = 0; k < 3; ++k) {
        ASSERT_EQ(q.get_dp_from_queue(got), 1);
        EXPECT_EQ(got.n, k);
    }
    EXPECT_EQ(q.get_dp_from_queue(got), 0);  // empty
    EXPECT_EQ(q.send_dp_to_queque(pkg(7)), 1);
    EXPECT_EQ(q.operation, 0);
}

TEST(DataQueue, ABusyQueueRefusesBothSidesWithTheirMessages) {
    Data_Queue<data_package> q(5);
    ASSERT_EQ(q.send_dp_to_queque(pkg(1)), 1);
    q.lock.lock();  // the other side at work
    testing::internal::CaptureStdout();
    data_package got{};
    EXPECT_EQ(q.send_dp_to_queque(pkg(2)), 0);
    EXPECT_EQ(q.get_dp_from_queue(got), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    q.lock.unlock();
    EXPECT_NE(out.find("can not SEND data package to the queue; temporarily locked.\n"), std::string::npos);
    EXPECT_NE(out.find("can not GET data package from the queue. \033[43mLocked...\033[m\n"), std::string::npos);
    EXPECT_EQ(q.get_dp_from_queue(got), 1);
    EXPECT_EQ(got.n, 1);
}

TEST(DataQueue, TakingGivesUpAtOnceWhenFinishedAndEmptyElseAfterItsTries) {
    Data_Queue<data_package> q(5);
    data_package got{};
    int attempts = 0;
    // Sender still running: every try fails, the count is reported.
    q.silent = 1;
    EXPECT_EQ(q.get_dp_from_queue_until_succeed(got, 3, 1000, &attempts), 0);
    EXPECT_EQ(attempts, 4);
    // The last packet sent before the end is still delivered; then the take gives up without trying again.
    q.send_dp_to_queque(pkg(5));
    q.finish_input();
    EXPECT_EQ(q.get_dp_from_queue_until_succeed(got, 1000000, 1000000), 1);
    EXPECT_EQ(got.n, 5);
    q.silent = 0;
    attempts = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(q.get_dp_from_queue_until_succeed(got, 1000000, 1000000, &attempts), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(attempts, 0);
    EXPECT_NE(out.find("Can not GET any data package from the empty queue while no data is being sent to the queue."),
              std::string::npos);
}

TEST(DataQueue, OneSenderThreadDeliversEveryPacketOnceInOrder) {
    constexpr int n = 2000;
    Data_Queue<data_package> q(5);
    q.silent = 1;
    std::thread sender([&] {
        for (int64_t k = 0; k < n; ++k)
            while (!q.send_dp_to_queque(pkg(k))) std::this_thread::yield();
        q.finish_input();
    });
    std::vector<int64_t> got;
    data_package dp{};
    while (q.get_dp_from_queue_until_succeed(dp, 1000000, 10)) {
        got.push_back(dp.n);
        EXPECT_LE(q.size(), 5u);
    }
    sender.join();
    ASSERT_EQ(got.size(), (size_t)n);
    for (int k = 0; k < n; ++k) ASSERT_EQ(got[k], k);
}

TEST(DataPacket, UnreadableOrForeignFilesGiveFailedPacketsWithNothingToFree) {
    TempDir dir;
    std::vector<float> img(12 * 8);
    for (size_t i = 0; i < img.size(); ++i) img[i] = (float)i;
    const std::string good = dir.file("good.mrc"), other = dir.file("other.mrc"), missing = dir.file("none.mrc");
    mrcf_write_xyz_data(good.c_str(), img.data(), 12, 8, 1);
    mrcf_write_xyz_data(other.c_str(), img.data(), 8, 12, 1);

    std::string name = good;
    mrcf_data_packet dp = mrcf_read_data_packet(&name[0], 12, 8, 1);
    EXPECT_EQ(dp.failed, 0);
    EXPECT_EQ(dp.state, 1);
    EXPECT_EQ(dp.file_name, &name[0]);
    ASSERT_EQ(dp.n_pixels, img.size());
    for (size_t i = 0; i < img.size(); ++i) ASSERT_EQ(dp.data[i], img[i]);
    ASSERT_NE(dp.head, nullptr);
    EXPECT_EQ(dp.head->nx, 12);
    mrcf_data_packet_free(dp);
    EXPECT_EQ(dp.data, nullptr);
    EXPECT_EQ(dp.head, nullptr);

    for (std::string bad : {other, missing}) {
        SCOPED_TRACE(bad);
        mrcf_data_packet f = mrcf_read_data_packet(&bad[0], 12, 8, 1);
        EXPECT_EQ(f.failed, 1);
        EXPECT_EQ(f.data, nullptr);
        EXPECT_EQ(f.n_pixels, 0u);
        mrcf_data_packet_free(f);
    }
}
