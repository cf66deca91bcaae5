// Fuzz target of the input CTF STAR readers (--input_ctfstar): the start CTF
// and the micrograph name of each data row. Input: the file itself.
// Oracle: an independent model of the file as whole lines (a line is one line
// whatever its length, its text ending at a NUL byte) gives the rows a sound
// reader keeps: exactly as many words as the header has labels, no header line
// or comment, every CTF value a whole number finite in single precision, the
// defocus within VORN_DEFOCUS_MAX and the name shorter than a name buffer. The
// three readers must give exactly these rows, in order, with these values.
#include <cerrno>
#include <climits>
#include <cmath>

#include "ctf.h"
#include "fuzz_harness.h"
#include "starfile.h"
#include "str_utils.h"

namespace {

const char* const ALL_SPACE = " \t\n\r\v\f";
const char* const HEAD_SPACE = " \t\n\r";  // header lines are cut at these alone

bool begins(const std::string& w, const char* p) { return w.compare(0, std::strlen(p), p) == 0; }
bool section(const std::string& w) { return begins(w, "data_") || begins(w, "loop_"); }
bool label(const std::vector<std::string>& w) {
    return w.size() >= 2 && w[1][0] == '#' && is_star_head_keyword(w[0].c_str());
}

// A column number after '#': what strtol reads of it, -1 when that does not fit an int.
int column_number(const std::string& w) {
    errno = 0;
    const long long v = std::strtoll(w.c_str() + 1, nullptr, 10);
    return (errno == ERANGE || v < INT_MIN || v > INT_MAX) ? -1 : (int)v;
}

struct Row {
    std::string name;  // empty without a name column
    CTF_INFO ctf;
};

struct Model {
    std::vector<Row> rows;
    bool named = false;
    bool has_U = false, has_V = false, has_A = false;  // the defocus triples read 0 without the column
};

Model expected_rows(const std::vector<std::string>& lines) {
    // The header: up to 512 lines; label lines recorded, blank and section lines passed over.
    std::vector<std::pair<std::string, int>> labels;
    for (size_t i = 0; i < lines.size() && i < STAR_HEAD_MAX_LABELS; ++i) {
        const std::vector<std::string> w = fuzz::words_of(lines[i], HEAD_SPACE, 2);
        if (w.empty() || section(w[0])) continue;
        if (!label(w)) break;
        labels.push_back({w[0], column_number(w[1])});
    }
    const int c = (int)labels.size();
    auto column = [&](const char* name) {
        int col = 0;
        for (const auto& [l, k] : labels)
            if (l == name) col = k;
        return col >= 1 && col <= c ? col : 0;
    };
    const int name_col = column("_rlnMicrographName");
    const std::pair<const char*, float CTF_INFO::*> fields[] = {
        {"_rlnDefocusU", &CTF_INFO::U},           {"_rlnDefocusV", &CTF_INFO::V},
        {"_rlnDefocusAngle", &CTF_INFO::A},       {"_rlnVoltage", &CTF_INFO::kV},
        {"_rlnSphericalAberration", &CTF_INFO::Cs}, {"_rlnAmplitudeContrast", &CTF_INFO::AC},
        {"_rlnBfactor", &CTF_INFO::B},            {"_rlnPhaseShift", &CTF_INFO::P}};
    Model m;
    m.named = name_col > 0;
    m.has_U = column("_rlnDefocusU") > 0;
    m.has_V = column("_rlnDefocusV") > 0;
    m.has_A = column("_rlnDefocusAngle") > 0;
    if (c <= 1) return m;
    for (const std::string& line : lines) {
        const std::vector<std::string> w = fuzz::words_of(line, ALL_SPACE, (size_t)c + 1);
        if ((int)w.size() != c || (c <= 2 && is_star_head_keyword(w[0].c_str())) || label(w) || section(w[0]) ||
            w[0][0] == '#' || w[0][0] == ';')
            continue;
        Row r{"", CTF_INFO{300.0f, 2.7f, 0.1f, 0.0f, 20000.0f, 20000.0f, 0.0f, 150.0f}};
        bool ok = true;
        for (const auto& [l, field] : fields) {
            const int col = column(l);
            if (col > 0 && !fuzz::real_word(w[(size_t)col - 1], r.ctf.*field)) ok = false;
        }
        if (!ok || std::fabs(r.ctf.U) > VORN_DEFOCUS_MAX || std::fabs(r.ctf.V) > VORN_DEFOCUS_MAX) continue;
        if (name_col > 0) {
            r.name = w[(size_t)name_col - 1];
            if (r.name.size() >= VORN_NAME_LEN) continue;
        }
        m.rows.push_back(r);
    }
    return m;
}

bool same(const CTF_INFO& a, const CTF_INFO& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void read_and_compare(const char* name, const Model& want) {
    const size_t n = want.rows.size();
    CTF_INFO* info = get_all_ctfinfo_from_ctfstar(name);
    float3* uva = get_all_defocus_from_ctfstar(name);
    for (size_t k = 0; k < n; ++k) {
        const CTF_INFO& w = want.rows[k].ctf;
        if (!same(info[k], w)) fuzz::finding("a CTF record differs from its row");
        const float3 t = make_float3(want.has_U ? w.U : 0.0f, want.has_V ? w.V : 0.0f, want.has_A ? w.A : 0.0f);
        if (std::memcmp(&uva[k], &t, sizeof t) != 0) fuzz::finding("a defocus triple differs from its row");
    }
    std::free(info);
    std::free(uva);

    // The list holds one command-line name before the file's.
    const size_t room = n + 2;
    CTF_INIT* init = fuzz::scratch<CTF_INIT>(room, CTF_INIT{-1, {}});
    char** names = fuzz::scratch<char*>(room, nullptr);
    int count = 1;
    const int added = get_all_initctf_from_ctfstar(name, init, names, count);
    const size_t named = want.named ? n : 0;
    if (added != (int)named || count != 1 + added) fuzz::finding("the micrograph list differs from the named rows");
    if (init[0].valid != -1 || names[0] != nullptr || init[named + 1].valid != -1)
        fuzz::finding("an entry written outside the rows");
    for (size_t k = 0; k < named; ++k) {
        const Row& r = want.rows[k];
        if (names[k + 1] == nullptr || r.name != names[k + 1]) fuzz::finding("a micrograph name differs from its row");
        if (!same(init[k + 1].ctf, r.ctf) || init[k + 1].valid != (r.ctf.U != 0.0f && r.ctf.V != 0.0f))
            fuzz::finding("a start CTF differs from its row");
        std::free(names[k + 1]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const std::string head = "\ndata_\n\nloop_\n_rlnMicrographName #1\n_rlnDefocusU #2\n_rlnDefocusV #3\n"
                             "_rlnDefocusAngle #4\n_rlnPhaseShift #5\n";
    fuzz::Seeds seeds = {
        {"plain", head + "a.mrc 20000 21000 45 0\nb.mrc 15000 15500 -10 90\n"},
        {"damaged", head + "a.mrc 1e39 21000 45 0\nb.mrc nan 1 2 3\nc.mrc 1e30 1 2 3\n# a b c d\nd.mrc 1 2\n"
                           "e.mrc 0 0 0 0\nf.mrc 1.5e3 -2e2 +3. .5\n"},
        {"long", head + std::string(1100, 'd') + " 20000 19000 0 0\n" + std::string(1020, 'e') + " 1 2 3 4\n"},
        {"columns", "loop_\n_rlnDefocusV #1\n_rlnVoltage #2\n_rlnMicrographName #9\n1 2 3\n"
                    "data_\n_rlnBfactor #2\n4 5 6 \v\n"},
    };
    fuzz::start(*argc, *argv, seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzz::write_input("in.star", data, size);
    const Model want = expected_rows(fuzz::whole_lines_of(data, size));
    fuzz::reject_or_run([&] { read_and_compare(path.c_str(), want); });
    return 0;
}
