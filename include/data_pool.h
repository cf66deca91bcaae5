// Read-ahead of micrographs: the data packet that carries one micrograph from
// the reader thread to the main thread, and the bounded queue between them.
//
// Both sides work on the queue only while they hold its mutex, taken with a
// non-blocking attempt: a side that finds it held reports "locked" and tries
// again later. The end-of-input flag is atomic; the reader raises it (release)
// after its last packet is in the queue, and a taker reads it (acquire) before
// it tests the queue for emptiness, so an empty queue seen after the flag is
// truly the end.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>

#include "mrcfile.h"

// One micrograph read ahead. The packet owns data and head until the taker
// releases them (mrcf_data_packet_free).
struct mrcf_data_packet {
    float* data = nullptr;      // nx*ny*nz floats of the file, null when it could not be read
    size_t n_pixels = 0;        // floats in data
    char* file_name = nullptr;  // the name in the micrograph list (not owned)
    MRC_HEAD* head = nullptr;   // the file's header, null when it could not be read
    int state = 0;              // 0 to be filled by the reader, 1 filled and waiting to be sent
    int failed = 0;             // 1 when the file could not be read: the taker skips the micrograph
};

// Reads one micrograph into a new packet: its header, and its data when the
// header matches the run's size nx x ny x nz. A missing or unreadable file, or
// one of another size, gives a packet marked failed with no data.
mrcf_data_packet mrcf_read_data_packet(char* name, int nx, int ny, int nz);
// Releases the packet's data and header.
void mrcf_data_packet_free(mrcf_data_packet& dp);

// A generic element of a Data_Queue: a data pointer and its count.
struct data_package {
    void* data;
    int64_t n;
};

// Polling waits of the two sides, in microseconds.
constexpr unsigned DATA_QUEUE_SEND_WAIT_US = 1000000;  // reader, after every send attempt that was refused
constexpr unsigned DATA_QUEUE_GET_WAIT_US = 100000;    // taker, between attempts

// A bounded FIFO of T shared by one sender and one taker.
template <class T> class Data_Queue {
public:
    int capacity;
    int operation = 0;  // 0 idle, 1 a send in progress, 2 a take in progress
    std::mutex lock;
    std::atomic<int> end_of_input{0};
    std::deque<T> queue;
    int silent = 0;     // non-zero mutes the progress messages

    explicit Data_Queue(int cap = 5) : capacity(cap) {}

    // 1 when the element was appended, 0 when the queue was busy or full.
    int send_dp_to_queque(const T& dp) {
        std::unique_lock<std::mutex> held(lock, std::try_to_lock);
        if (!held.owns_lock()) {
            say("can not SEND data package to the queue; temporarily locked.\n");
            return 0;
        }
        operation = 1;
        int sent = 0;
        if ((int)queue.size() < capacity) {
            say("sending one element to Data_Queq...\n");
            queue.push_back(dp);
            say("one element successfully sent to Data_Queq.\n");
            sent = 1;
        } else {
            say("can not send one element to Data_Queq; Queue already full.\n");
        }
        operation = 0;
        return sent;
    }

    // One attempt to take the front element: 1 on success, 0 when busy or empty.
    int get_dp_from_queue(T& dp) {
        bool empty_at_end = false;
        return take_once(dp, empty_at_end);
    }

    // Takes the front element, trying up to tries times wait_us apart: 1 on
    // success, 0 when the queue is empty and the sender has finished, or when
    // every try failed (*attempts then holds the failed count, tries + 1).
    int get_dp_from_queue_until_succeed(T& dp, int tries, unsigned wait_us, int* attempts = nullptr) {
        for (int failed = 1;; ++failed) {
            bool empty_at_end = false;
            if (take_once(dp, empty_at_end)) return 1;
            if (empty_at_end) {
                say("Can not GET any data package from the empty queue while no data is being sent to the "
                    "queue.\n");
                return 0;
            }
            say("Did not manage to get data this time, will try later.\n");
            if (failed > tries) {
                if (attempts != nullptr) *attempts = failed;
                return 0;
            }
            sleep_us(wait_us);
        }
    }

    // The sender's last act: after it, an empty queue stays empty.
    void finish_input() { end_of_input.store(1, std::memory_order_release); }
    bool input_finished() const { return end_of_input.load(std::memory_order_acquire) != 0; }

    size_t size() {
        std::lock_guard<std::mutex> held(lock);
        return queue.size();
    }

private:
    void say(const char* text) const {
        if (!silent) std::fputs(text, stdout);
    }
    static void sleep_us(unsigned us);

    int take_once(T& dp, bool& empty_at_end) {
        const bool finished = input_finished();  // before the emptiness test
        std::unique_lock<std::mutex> held(lock, std::try_to_lock);
        if (!held.owns_lock()) {
            say("can not GET data package from the queue. \033[43mLocked...\033[m\n");
            return 0;
        }
        operation = 2;
        if (queue.empty()) {
            empty_at_end = finished;
            if (!finished) say("can not GET data package from the queue; queue size zero.\n\n");
            operation = 0;
            return 0;
        }
        say("getting one element from Data_Queq...\n");
        dp = queue.front();
        queue.pop_front();
        say("one element got from Data_Queq.\n");
        operation = 0;
        return 1;
    }
};

void data_queue_sleep_us(unsigned us);
template <class T> void Data_Queue<T>::sleep_us(unsigned us) { data_queue_sleep_us(us); }
