// Read-ahead packets: reading one micrograph into a packet without ending the
// process on a bad file, releasing it, and the queue's polling sleep.
#define VORN_UNIT "src/data_pool"
#include "data_pool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

mrcf_data_packet mrcf_read_data_packet(char* name, int nx, int ny, int nz) {
    mrcf_data_packet dp;
    dp.file_name = name;
    dp.state = 1;
    dp.failed = 1;
    // Only a regular file is opened: a pipe would hold the reader, a directory has no data.
    struct stat st;
    const bool regular = name != nullptr && stat(name, &st) == 0 && S_ISREG(st.st_mode);
    FILE* f = (regular && access(name, R_OK) == 0) ? std::fopen(name, "rb") : nullptr;
    if (f == nullptr) return dp;
    dp.head = mrc_new_head();
    // Only a file of the run's size is read: any other is refused by the taker's
    // size check, and its header is not trusted for an allocation.
    if (mrc_read_head(f, dp.head) == 0 && dp.head->nx == nx && dp.head->ny == ny && dp.head->nz == nz && nx > 0 &&
        ny > 0 && nz > 0) {
        dp.n_pixels = (size_t)nx * (size_t)ny * (size_t)nz;
        dp.data = (float*)std::malloc(dp.n_pixels * sizeof(float));
        if (dp.data != nullptr && mrc_read_all_nocheck(f, dp.head, dp.data) == 0) dp.failed = 0;
    }
    std::fclose(f);
    if (dp.failed) {
        std::free(dp.data);
        dp.data = nullptr;
        dp.n_pixels = 0;
    }
    return dp;
}

void mrcf_data_packet_free(mrcf_data_packet& dp) {
    std::free(dp.data);
    mrc_delete_head(dp.head);
    dp.data = nullptr;
    dp.head = nullptr;
    dp.n_pixels = 0;
}

void data_queue_sleep_us(unsigned us) { usleep(us); }
