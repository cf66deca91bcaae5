// Fuzz target of the box-file readers and what consumes their boxes: centre
// lists, neighbour boxes, resizing and the grid-cell pick filter. Input: 8 bytes
// of call parameters, then the file.
//   byte 0 which call, 1 capacity, 2 radius, 3 step, 4 size, 5-6 image side, 7 diameter.
// Oracle: read_all_ptcl_boxes returns exactly the boxes of the whole lines whose
// four to seven values are whole numbers of their fields (x, y, w, h, class and
// the centre as ints, score and angle finite floats), parsed here
// independently, and nothing for the others; a line of one to three values met
// before the capacity is full refuses the whole file (-1).
#include <climits>

#include "boxfile.h"
#include "fuzz_harness.h"

namespace {

constexpr size_t PARAM_BYTES = 8;

// The boxes a sound reader makes of the file: one per whole line (its text cut
// at a NUL byte) of four to seven words, each the number its field takes; false
// when a line of one to three words refuses the file.
bool expected_boxes(const uint8_t* data, size_t size, int capacity, std::vector<PTCL_BOX>& boxes) {
    for (const std::string& line : fuzz::whole_lines_of(data, size)) {
        if ((int)boxes.size() >= capacity) break;
        const std::vector<std::string> words = fuzz::words_of(line, " \t\n\r\v\f", 7);
        if (!words.empty() && words.size() < 4) return false;
        if (words.size() < 4) continue;
        PTCL_BOX b{};
        using fuzz::int_word, fuzz::real_word;
        if (!int_word(words[0], b.x) || !int_word(words[1], b.y) || !int_word(words[2], b.w) ||
            !int_word(words[3], b.h) || (words.size() >= 5 && !real_word(words[4], b.score)) ||
            (words.size() >= 6 && !int_word(words[5], b.class_id)) ||
            (words.size() >= 7 && !real_word(words[6], b.angle)))
            continue;
        const long long cx = (long long)b.x + b.w / 2, cy = (long long)b.y + b.h / 2;
        if (cx < INT_MIN || cx > INT_MAX || cy < INT_MIN || cy > INT_MAX) continue;
        boxes.push_back(b);
    }
    return true;
}

bool same_float(float a, float b) { return a == b || (a != a && b != b); }

void read_and_compare(char* name, const uint8_t* data, size_t size, int capacity) {
    PTCL_BOX* boxes = fuzz::scratch<PTCL_BOX>((size_t)capacity + 1, PTCL_BOX{-9, -9, -9, -9, 0, -9, 0, 0});
    const int n = read_all_ptcl_boxes(boxes, capacity, name);
    std::vector<PTCL_BOX> want;
    if (!expected_boxes(data, size, capacity, want)) {
        if (n != -1) fuzz::finding("a file with a line of one to three values is not refused");
        return;
    }
    if (n != (int)want.size()) fuzz::finding("box count differs from the file's valid lines");
    for (int i = 0; i < n; ++i) {
        const PTCL_BOX &g = boxes[i], &w = want[(size_t)i];
        if (g.x != w.x || g.y != w.y || g.w != w.w || g.h != w.h || g.class_id != w.class_id ||
            !same_float(g.score, w.score) || !same_float(g.angle, w.angle))
            fuzz::finding("box differs from its line");
    }
    if (boxes[capacity].x != -9) fuzz::finding("box written past the capacity");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const char* texts[] = {"100 200 64 64\n\n10 20 30 40 0.75\n1 2 3 4 0.5 7\n5 6 7 8 0.25 3 12.5 extra\n",
                           "90 90 20 20 0.9 1 10\n92 90 20 20 0.4 2 0\n140 140 20 20 0.6 4 30\n\xff\n1 1 1 1 1 1 1\n",
                           "-50 -50 20 20 0.99 7 0\n2147483600 0 64 64\n"};
    fuzz::Seeds seeds;
    int k = 0;
    for (int call = 0; call < 7; ++call)
        for (const char* t : texts) {
            const std::string p = {(char)call, 8, 30, 5, 20, 0, 1, 20};
            seeds.push_back({"seed" + std::to_string(k++), p + t});
        }
    fuzz::start(*argc, *argv, seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < PARAM_BYTES) return 0;
    const int call = data[0] % 7, capacity = 1 + data[1], size_param = (int8_t)data[4] * 4;
    const float radius = data[2];
    const int step = 1 + data[3] % 32, side = 1 + ((data[5] | data[6] << 8) & 1023);
    const float diameter = 1 + data[7];
    const uint8_t* text = data + PARAM_BYTES;
    const size_t text_size = size - PARAM_BYTES;
    std::string path = fuzz::write_input("in.box", text, text_size);
    std::string out_path = std::string(fuzz::work_dir()) + "/out.box";
    char* name = path.data();
    fuzz::reject_or_run([&] {
        switch (call) {
            case 0: read_and_compare(name, text, text_size, capacity); break;
            case 1: {
                std::vector<int2> centres;
                const int n = read_all_box_vecxyi(centres, name);
                int2* some = fuzz::scratch<int2>((size_t)capacity, int2{});
                if (boxf_read_all_xysi(some, capacity, name) != n) fuzz::finding("two centre readers disagree");
                break;
            }
            case 2: get_ptcl_number_from_boxf(name); break;
            case 3: {
                PTCL_BOX ref{(int8_t)data[4] * 1000, (int8_t)data[5] * 1000, 20, 20, 0, 0, 0, 0};
                PTCL_BOX* out = fuzz::scratch<PTCL_BOX>((size_t)capacity, PTCL_BOX{});
                const int n = generate_neighbor_boxes_from_boxf(out, capacity, &ref, radius, size_param, name);
                if (n < -1 || n > capacity) fuzz::finding("neighbour count outside -1..capacity");
                break;
            }
            case 4: {
                // Rings around the first box read, however far out it lies.
                PTCL_BOX* first = fuzz::scratch<PTCL_BOX>(1, PTCL_BOX{});
                if (read_all_ptcl_boxes(first, 1, name) < 1) break;
                const int room = 4096;
                PTCL_BOX* ring = fuzz::scratch<PTCL_BOX>(room, PTCL_BOX{});
                const int n = auto_generate_neighbor_boxes_circular(ring, room, first, radius, size_param, step);
                if (n < 0 || n > room) fuzz::finding("ring count outside 0..capacity");
                break;
            }
            case 5: {
                PTCL_BOX* boxes = fuzz::scratch<PTCL_BOX>((size_t)capacity, PTCL_BOX{});
                const int n = read_all_ptcl_boxes(boxes, capacity, name);
                int2* c = fuzz::scratch<int2>((size_t)capacity, int2{});
                float2* cf = fuzz::scratch<float2>((size_t)capacity, float2{});
                ptcl_boxes_to_int2(c, boxes, n, size_param);
                ptcl_boxes_to_float2(cf, boxes, n, 0);
                resize_ptcl_boxes(boxes, n, size_param);
                break;
            }
            default: {
                std::string none = "NONE";
                char* exclude = data[0] & 0x80 ? name : none.data();
                box_filter(side, side, diameter, 0.1f, 1.0f + (data[3] & 3), 20, 20, make_int2(data[2], -data[3]),
                           name, exclude, out_path.data(), data[0] & 1);
            }
        }
    });
    return 0;
}
