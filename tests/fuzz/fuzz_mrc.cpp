// Fuzz target of the MRC readers (and the two in-place header and column
// writers). Input: 16 bytes of call parameters, then the file.
//   byte 0 which call, 1 axis letter, 2 box (or width), 3 step (or height),
//   4-7 n, 8-11 a, 12-15 b (little-endian int32: slice, pixel or corner).
// Oracle: whatever a whole-file or slice read returns with success must be
// exactly the file's voxels, decoded here independently of the readers.
#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "fuzz_harness.h"
#include "mrcfile.h"

namespace {

constexpr size_t PARAM_BYTES = 16;

struct Params {
    uint8_t call;
    char axis;
    int box, step;
    int32_t n, a, b;
};

Params params_of(const uint8_t* p) {
    return Params{p[0], (char)p[1], p[2], p[3], fuzz::le32(p + 4), fuzz::le32(p + 8), fuzz::le32(p + 12)};
}

// The file's bytes and the header the reader saw, decoded without the readers.
struct RawFile {
    const uint8_t* bytes;
    size_t size;
    MRC_HEAD h;

    int64_t offset() const { return 1024 + (h.nsymbt > 0 ? h.nsymbt : 0); }
    // Voxel idx as a double; false when the file does not hold it.
    bool voxel(int64_t idx, double* v) const {
        const int b = mrc_mode_bytes(h.mode);
        if (idx < 0 || b == 0 || idx > (INT64_MAX - offset()) / b - 1) return false;
        const int64_t at = offset() + idx * b;
        if (at + b > (int64_t)size) return false;
        const uint8_t* p = bytes + at;
        switch (h.mode) {
            case 0: *v = p[0]; return true;
            case 1: *v = (int16_t)(p[0] | p[1] << 8); return true;
            case 6: *v = (uint16_t)(p[0] | p[1] << 8); return true;
            case 2: {
                const uint32_t u = (uint32_t)fuzz::le32(p);
                float f;
                std::memcpy(&f, &u, 4);
                *v = f;
                return true;
            }
        }
        return false;
    }
};

template <class T>
void expect_voxels(const RawFile& file, const T* got, int64_t count, int64_t (*index)(const MRC_HEAD&, int, int64_t),
                   int n) {
    for (int64_t i = 0; i < count; ++i) {
        double want;
        if (!file.voxel(index(file.h, n, i), &want)) fuzz::finding("success reported for a voxel the file lacks");
        const double g = (double)got[i];
        if (!(g == (double)(T)want || (std::isnan(g) && std::isnan(want)))) fuzz::finding("read voxel differs from file");
    }
}

int64_t whole_index(const MRC_HEAD&, int, int64_t i) { return i; }
int64_t z_index(const MRC_HEAD& h, int n, int64_t i) { return (int64_t)n * h.nx * h.ny + i; }
int64_t y_index(const MRC_HEAD& h, int n, int64_t i) { return (n + i / h.nx * h.ny) * (int64_t)h.nx + i % h.nx; }
int64_t x_index(const MRC_HEAD& h, int n, int64_t i) { return n + i * (int64_t)h.nx; }

// Elements of an output the caller must provide: what the header asks for when
// the file could fill it; otherwise only as many as the file could fill (times
// gain for outputs larger than their input), which a sound reader never passes
// because it refuses such a request before it writes.
size_t room_for(int64_t want, size_t file_size, int64_t gain = 1) {
    const int64_t limit = gain * ((int64_t)file_size + 64);
    return (size_t)(want >= 1 && want <= limit ? want : want < 1 ? 1 : limit);
}

int64_t product(std::initializer_list<int64_t> f) {
    int64_t p = 1;
    for (int64_t v : f)
        if (v < 0 || __builtin_mul_overflow(p, v, &p)) return -1;
    return p;
}

int64_t slice_values(const MRC_HEAD& h, char axis) {
    switch (axis) {
        case 'x': case 'X': return product({h.ny, h.nz});
        case 'y': case 'Y': return product({h.nx, h.nz});
        default: return product({h.nx, h.ny});
    }
}

auto index_of(char axis) {
    switch (axis) {
        case 'x': case 'X': return x_index;
        case 'y': case 'Y': return y_index;
        default: return z_index;
    }
}

bool known_axis(char axis) { return std::strchr("xyzXYZ", axis) != nullptr && axis != '\0'; }

void open_read(const std::string& path, RawFile& file, void (*read)(FILE*, RawFile&, const Params&), const Params& p) {
    FILE* f = std::fopen(path.c_str(), "rb+");
    if (f == nullptr) fuzz::finding("cannot open the input file");
    mrc_read_head(f, &file.h);
    read(f, file, p);
    std::fclose(f);
}

void read_whole(FILE* f, RawFile& file, const Params& p) {
    float* out = fuzz::scratch<float>(room_for(product({file.h.nx, file.h.ny, file.h.nz}), file.size), {});
    const int status = (p.call >> 4) & 1 ? mrc_read_all(f, &file.h, out) : mrc_read_all_nocheck(f, &file.h, out);
    if (status == 0 && (file.h.mode == 0 || file.h.mode == 1 || file.h.mode == 2 || file.h.mode == 6))
        expect_voxels(file, out, product({file.h.nx, file.h.ny, file.h.nz}), whole_index, 0);
}

void read_slice(FILE* f, RawFile& file, const Params& p) {
    const int64_t want = slice_values(file.h, p.axis);
    float* out = fuzz::scratch<float>(room_for(want, file.size), {});
    if (mrc_read_slice(f, &file.h, p.n, p.axis, out) == 0) {
        if (!known_axis(p.axis)) fuzz::finding("success reported for an unknown axis");
        expect_voxels(file, out, want, index_of(p.axis), p.n);
    }
}

void read_slice_double(FILE* f, RawFile& file, const Params& p) {
    const int64_t want = slice_values(file.h, p.axis);
    double* out = fuzz::scratch<double>(room_for(want, file.size), {});
    if (mrc_read_slice_double(f, &file.h, p.n, p.axis, out) == 0)
        expect_voxels(file, out, want, index_of(p.axis), p.n);
}

void read_slice_byte(FILE* f, RawFile& file, const Params& p) {
    unsigned char* out = fuzz::scratch<unsigned char>(room_for(slice_values(file.h, p.axis), file.size), {});
    mrc_read_slice_byte(f, &file.h, p.n, p.axis, out);
}

void read_pixel(FILE* f, RawFile& file, const Params& p) {
    float v = 0.0f;
    if (mrc_read_pixel(&v, f, &file.h, p.n, p.a, p.b) == 0) {
        const int64_t idx = p.n + (int64_t)file.h.nx * (p.a + (int64_t)p.b * file.h.ny);
        double want;
        if (!file.voxel(idx, &want)) fuzz::finding("success reported for a voxel the file lacks");
        if (!(v == (float)want || (std::isnan(v) && std::isnan(want)))) fuzz::finding("read pixel differs from file");
    }
}

void read_sub_area(FILE* f, RawFile& file, const Params& p) {
    const int d = p.axis & 8 ? 1 : p.axis & 7;  // the 2D form reads one section
    float* out = fuzz::scratch<float>(room_for(product({p.box, p.step, d}), file.size), {});
    if (p.axis & 8)
        mrc_2d_read_sub_area(f, &file.h, out, p.n, p.a, p.box, p.step);
    else
        mrc_read_sub_area(f, &file.h, out, p.n, p.a, p.b, p.box, p.step, d);
}

void read_grids(FILE* f, RawFile& file, const Params& p) {
    const int box = p.box % 16, step = p.step % 16;
    int64_t want = -1;
    if (box > 0 && step > 0 && file.h.nx >= box && file.h.ny >= box)
        want = product({(file.h.nx - box) / step + 1, (file.h.ny - box) / step + 1, box, box});
    float* out = fuzz::scratch<float>(room_for(want, file.size, 16 * 16), {});
    mrc_2d_read_grids(f, &file.h, out, box, step);
}

void update_column(FILE* f, RawFile& file, const Params& p) {
    MRC_HEAD h = file.h;
    float* column = fuzz::scratch<float>(room_for(product({h.ny, h.nz}), file.size), 1.5f);
    mrc_update_slcX(f, p.n, column);
}

void by_name(const std::string& path, RawFile& file, const Params& p) {
    const char* name = path.c_str();
    MRC_HEAD h;
    mrc_init_head(&h);  // as the by-name readers do, for files shorter than a header
    mrcf_read_head(name, &h);
    file.h = h;
    switch (p.call % 8) {
        case 0: {
            float* all = mrcf_get_data_all(name);
            expect_voxels(file, all, product({h.nx, h.ny, h.nz}), whole_index, 0);
            std::free(all);
            break;
        }
        case 1: {
            float* section = mrcf_get_data_sliceN(name, p.n);
            if (section != nullptr) expect_voxels(file, section, product({h.nx, h.ny}), z_index, p.n);
            std::free(section);
            break;
        }
        case 2: {
            float* out = fuzz::scratch<float>(room_for(product({h.nx, h.ny, h.nz}), file.size), {});
            MRC_HEAD got;
            mrc_init_head(&got);
            if (mrcf_read_head_data_check_xyz(name, &got, out, h.nx, h.ny, h.nz) == 0)
                expect_voxels(file, out, product({h.nx, h.ny, h.nz}), whole_index, 0);
            break;
        }
        case 3: {
            float* out = fuzz::scratch<float>(room_for(slice_values(h, p.axis), file.size), {});
            if (mrcf_read_slice_check_xy_cid(name, p.n, p.axis, out, h.nx, h.ny, h.creatid) == 0)
                expect_voxels(file, out, slice_values(h, p.axis), index_of(p.axis), p.n);
            break;
        }
        case 4: mrcf_update_head(name); break;
        case 5: {
            static const char* const keys[] = {"x", "y", "z", "xy", "yx", "xz", "zx", "yz", "zy", "xyz", "w"};
            mrcf_get_dim_size(name, keys[(uint8_t)p.axis % 11]);
            break;
        }
        case 6: {
            int nx, ny, nz;
            get_mrcf_xyz(nx, ny, nz, name);
            mrcf_check_head(name);
            mrcf_get_head_mode(name);
            FILE* f = std::fopen(name, "rb");
            mrc_check_fsize(f, &h);
            std::fclose(f);
            break;
        }
        default: {
            const int d = p.axis & 7;
            float* out = fuzz::scratch<float>(room_for(product({p.box, p.step, d}), file.size), {});
            mrcf_read_sub_area(name, out, p.n, p.a, p.b, p.box, p.step, d);
        }
    }
}

fuzz::Seeds mrc_seeds() {
    fuzz::Seeds seeds;
    auto file = [](int nx, int ny, int nz, int mode, int nsymbt) {
        std::string b(1024 + nsymbt, '\0');
        const int32_t fields[4] = {nx, ny, nz, mode};
        std::memcpy(&b[0], fields, 16);
        std::memcpy(&b[92], &nsymbt, 4);
        std::memcpy(&b[208], "MAP ", 4);
        const int bytes = std::max(mrc_mode_bytes(mode), 1);
        for (int i = 0; i < nx * ny * nz * bytes; ++i) b.push_back((char)(i * 37 + 3));
        return b;
    };
    auto params = [](int call, char axis, int box, int step, int n, int a, int b) {
        std::string p(PARAM_BYTES, '\0');
        p[0] = (char)call;
        p[1] = axis;
        p[2] = (char)box;
        p[3] = (char)step;
        std::memcpy(&p[4], &n, 4);
        std::memcpy(&p[8], &a, 4);
        std::memcpy(&p[12], &b, 4);
        return p;
    };
    const int modes[] = {0, 1, 2, 6, 4};
    int k = 0;
    for (int call = 0; call < 24; ++call)
        for (int m = 0; m < 5; ++m) {
            const char axis = "zyxq"[(call + m) % 4];
            seeds.push_back({"seed" + std::to_string(k++),
                             params(call, axis, 3, 2, 1, 1, 0) + file(4, 3, 2, modes[m], (call % 3) * 8)});
        }
    return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::start(*argc, *argv, mrc_seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < PARAM_BYTES) return 0;
    const Params p = params_of(data);
    RawFile file{data + PARAM_BYTES, size - PARAM_BYTES, MRC_HEAD{}};
    mrc_init_head(&file.h);
    const std::string path = fuzz::write_input("in.mrc", file.bytes, file.size);
    typedef void (*OpenRead)(FILE*, RawFile&, const Params&);
    static const OpenRead open_reads[] = {read_whole, read_slice, read_slice_double, read_slice_byte, read_pixel,
                                          read_sub_area, read_grids, update_column};
    const size_t kinds = sizeof open_reads / sizeof open_reads[0];
    fuzz::reject_or_run([&] {
        if (p.call % 16 < kinds)
            open_read(path, file, open_reads[p.call % 16], p);
        else
            by_name(path, file, p);
    });
    return 0;
}
