// Fuzz target of the STAR readers: header, label index, row positioning and
// counting, the micrograph list and the coordinate reader. Input: 4 bytes of
// call parameters (which call, then a row number), then the file.
// Oracles: the micrograph list never holds more names than the row count says
// (a label line is never a micrograph); coordinates read as boxes have no size.
#include "boxfile.h"
#include "fuzz_harness.h"
#include "starfile.h"

namespace {

constexpr size_t PARAM_BYTES = 4;

void micrograph_list(const char* name) {
    const long rows = get_lineN_from_starf(name);
    if (rows < 0) fuzz::finding("negative row count");
    char** list = get_all_micrographs_from_ctfstar(name);
    // rows + 1 entries, filled in row order: never one more name than rows.
    if (list[rows][0] != '\0') fuzz::finding("micrograph list longer than the row count");
    std::free(list);
}

void coordinates(char* name, int capacity) {
    PTCL_BOX* boxes = fuzz::scratch<PTCL_BOX>((size_t)capacity, PTCL_BOX{});
    const int n = read_all_ptcl_boxes(boxes, capacity, name);
    if (n < 0 || n > capacity) fuzz::finding("box count outside 0..capacity");
    for (int i = 0; i < n; ++i)
        if (boxes[i].w != 0 || boxes[i].h != 0) fuzz::finding("a STAR coordinate with a size");
    std::vector<int2> centres;
    read_all_box_vecxyi(centres, name);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const std::string ctf =
        "\ndata_\n\nloop_\n_rlnMicrographName #1\n_rlnDefocusU #2\n_rlnDefocusV #3\n_rlnDefocusAngle #4\n"
        "_rlnVoltage #5\n_rlnPhaseShift #6\na.mrc 20000 21000 45 300 0\nb.mrc 15000 15500 -10 300 90\n";
    const std::string coords = "data_\nloop_\n_rlnCoordinateX #1\n_rlnCoordinateY #2\n_rlnAnglePsi #3\n"
                               "_rlnClassNumber #4\n_rlnAutopickFigureOfMerit #5\n123.7 56.2 45.5 2 0.8\n10 20 30\n";
    fuzz::Seeds seeds;
    for (int call = 0; call < 6; ++call) {
        const std::string p = {(char)call, 1, 0, 0};
        seeds.push_back({"ctf" + std::to_string(call), p + ctf});
        seeds.push_back({"coords" + std::to_string(call), p + coords});
        seeds.push_back({"one" + std::to_string(call), p + "loop_\n_rlnMicrographName #1 x\n  \na.mrc\n"});
    }
    fuzz::start(*argc, *argv, seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < PARAM_BYTES) return 0;
    const int call = data[0] % 6;
    const long row = (int8_t)data[1];
    std::string path = fuzz::write_input("in.star", data + PARAM_BYTES, size - PARAM_BYTES);
    char* name = path.data();
    fuzz::reject_or_run([&] {
        switch (call) {
            case 0: {
                StarHead* head = fuzz::scratch<StarHead>(1, StarHead{});
                ParticleInfoIndex* index = fuzz::scratch<ParticleInfoIndex>(1, ParticleInfoIndex{});
                starf_read_head_info_index(name, head, index);
                if (head->count < 0 || head->count > STAR_HEAD_MAX_LABELS) fuzz::finding("label count out of range");
                get_info_index_from_keyword("_rlnMicrographName", index);
                set_info_index_from_starf(name, index);
                break;
            }
            case 1: get_lineN_from_starf(name); break;
            case 2: {
                FILE* f = std::fopen(name, "r");
                star_set_pointer(f, row);
                char* words[STAR_HEAD_MAX_LABELS];
                for (int i = 0; i < 4; ++i) is_words_starhead(words, read_words_from_star_line(words, 64, f));
                star_set_next_line(f);
                std::fclose(f);
                break;
            }
            case 3: micrograph_list(name); break;
            case 4: coordinates(name, 1 + (data[1] & 63)); break;
            default: {
                StarHead* head = fuzz::scratch<StarHead>(1, StarHead{});
                FILE* f = std::fopen(name, "r");
                star_read_head(f, head);
                get_lineN_from_star(f);
                std::fclose(f);
            }
        }
    });
    return 0;
}
