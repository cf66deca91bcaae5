// The estimator's read-ahead: a reader thread reads each micrograph of the list
// into a packet and sends it to the bounded queue; the run loop takes one
// packet per micrograph, also for micrographs it skips, so list and queue
// advance together.
#define VORN_UNIT "src/ctf"
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "ctf.h"
#include "report.h"

namespace {

// Sleeps us microseconds in slices, returning early once the run has stopped the reader.
void reader_sleep(const std::atomic<int>& stop, unsigned us) {
    for (unsigned slept = 0; slept < us && !stop.load(std::memory_order_acquire); slept += 100000)
        usleep(us - slept < 100000 ? us - slept : 100000);
}

}  // namespace

int VORN_A::vorn_data_queue_init(int capacity) {
    dp_queue.capacity = capacity;
    dp_queue.operation = 0;
    dp_queue.end_of_input.store(0);
    dp_queue.silent = para != nullptr ? para->dp_silent : 1;
    return 0;
}

int VORN_A::vorn_send_all_to_queue_background() {
    std::printf("sending all data, running in background as limited queue ...\n");
    dp_stop.store(0);
    dp_reader = std::thread(vorn_read_infs_data_and_send_to_queue_wrap, (void*)this);
    return 0;
}

void* VORN_A::vorn_read_infs_data_and_send_to_queue_wrap(void* object) {
    static_cast<VORN_A*>(object)->vorn_read_infs_data_and_send_to_queue();
    return nullptr;
}

int VORN_A::vorn_read_infs_data_and_send_to_queue() {
    const VORN_Para& p = *para;
    const MRC_HEAD& first = *head_first;
    for (int i = 0; i < p.mic_count && !dp_stop.load(std::memory_order_acquire); ++i) {
        // A file that cannot be read travels as a failed packet: the run loop
        // skips that micrograph as it would without read-ahead.
        mrcf_data_packet dp = mrcf_read_data_packet(p.mic_names[i], first.nx, first.ny, first.nz);
        for (;;) {
            if (vorn_send_dp_to_queue(dp)) {
                if (!p.dp_silent) std::printf("sending %dth element of dp_vec succeeded. \033[43mContinue ...\033[m\n", i);
                break;
            }
            if (!p.dp_silent) std::printf("sending %dth element of dp_vec temporarily failed.\033[43mWaiting ...\033[m\n", i);
            reader_sleep(dp_stop, DATA_QUEUE_SEND_WAIT_US);
            if (dp_stop.load(std::memory_order_acquire)) {
                mrcf_data_packet_free(dp);
                break;
            }
        }
    }
    dp_queue.finish_input();
    return 0;
}

int VORN_A::vorn_send_dp_to_queue(const mrcf_data_packet& dp) { return dp_queue.send_dp_to_queque(dp); }

int VORN_A::vorn_get_dp_from_queue(mrcf_data_packet& dp) { return dp_queue.get_dp_from_queue(dp); }

int VORN_A::vorn_get_dp_from_queue_until_succeed(mrcf_data_packet& dp) {
    int attempts = 0;
    if (dp_queue.get_dp_from_queue_until_succeed(dp, para->get_tries, DATA_QUEUE_GET_WAIT_US, &attempts)) return 1;
    if (attempts != 0) VORN_WARNING("Failed to get data after %d many times tries!\n\033[m", attempts);
    return 0;
}

int VORN_A::vorn_take_mic_data_from_queue() {
    dp_taken = 1;
    if (!vorn_get_dp_from_queue_until_succeed(dp_cur)) VORN_FATAL("Can not get any data from queue.");
    if (dp_cur.file_name == nullptr || std::strcmp(dp_cur.file_name, mic_name) != 0) {
        mrcf_data_packet_free(dp_cur);
        VORN_FATAL("Data queue may be disrupted.");
    }
    const bool usable = !dp_cur.failed && dp_cur.n_pixels == mic_n_all;
    if (usable) vorn_land_mic_data(0, dp_cur.data, mic_n_all);
    mrcf_data_packet_free(dp_cur);
    if (!usable) {
        VORN_WARNING("Reading micrograph %s failed!\n\033[m", mic_name);
        return -1;
    }
    return 0;
}

int VORN_A::vorn_drop_dp_of_skipped_mic() {
    if (!para->pre_read || dp_taken) return 0;
    dp_taken = 1;
    if (!vorn_get_dp_from_queue_until_succeed(dp_cur)) VORN_FATAL("Can not get any data from queue.");
    const bool ours = dp_cur.file_name != nullptr && std::strcmp(dp_cur.file_name, para->mic_names[mic_index]) == 0;
    mrcf_data_packet_free(dp_cur);
    if (!ours) VORN_FATAL("Data queue may be disrupted.");
    return 0;
}

int VORN_A::vorn_join_reader() {
    dp_stop.store(1, std::memory_order_release);
    if (dp_reader.joinable()) dp_reader.join();
    std::lock_guard<std::mutex> held(dp_queue.lock);
    for (mrcf_data_packet& dp : dp_queue.queue) mrcf_data_packet_free(dp);
    dp_queue.queue.clear();
    return 0;
}
