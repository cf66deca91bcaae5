// Projection of volumes into images (ray sums along z of the resampled volume),
// the mean along z, backprojection of images into volumes, and the projection
// drivers over lists of orientations.
#define VORN_UNIT "src/process3d_raw"
#include "process3d_raw.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "gpu_buffers.h"
#include "gpu_launch.h"
#include "cuda_fast_sum.h"
#include "cuda_fft.h"
#include "math_utils_gpu.h"
#include "mrcfile.h"
#include "process2d_core.h"

namespace {

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
void print_time(const char* label, double t0) { std::printf(">>>>>>TIME<<<<<<%64s: %fs\n", label, seconds_now() - t0); }

struct TrilinearSampler {
    const float* v;
    unsigned Nx, Ny, Nz;
    __device__ __forceinline__ float operator()(float3 s) const { return volume_sample_or_zero(v, Nx, Ny, Nz, s); }
};
struct NearestSampler {
    const float* v;
    unsigned Nx, Ny, Nz;
    __device__ __forceinline__ float operator()(float3 s) const {
        return nearest_sample_or_zero(v, Nx, Ny, Nz, s.x, s.y, s.z);
    }
};

// Pixel (x, y): the samples along its ray, z = 0 .. Nz - 1, added in order;
// samples outside the volume add nothing.
template <class Sampler>
__device__ __forceinline__ float ray_sum(unsigned x, unsigned y, unsigned Nz, const VolumeMap& m, Sampler sample) {
    float sum = 0.0f;
    for (unsigned z = 0; z < Nz; ++z) sum += sample(m.source((float)x, (float)y, (float)z));
    return sum;
}

// Thread (x, y) of a 2D launch writes its pixel's ray sum once.
template <class Sampler>
__device__ __forceinline__ void project_pixel(float* img, unsigned Nx, unsigned Ny, unsigned Nz, const VolumeMap& m,
                                              Sampler sample) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (pixel_inside(t, Nx, Ny, i)) img[i] = ray_sum(t.x, t.y, Nz, m, sample);
}

__device__ __forceinline__ TrilinearSampler trilinear_of(const float* v, unsigned Nx, unsigned Ny, unsigned Nz) {
    return TrilinearSampler{v, Nx, Ny, Nz};
}

// True, after a warning naming the driver, when N is below the least count it needs.
bool too_few_orientations(unsigned N, unsigned least, const char* driver) {
    if (N >= least) return false;
    vorn_warning_line(driver, VORN_UNIT, __LINE__, "%u orientation(s) asked, at least %u needed! Nothing done.\n\033[m",
                      N, least);
    return true;
}

}  // namespace

// ================= projectors =================

__global__ void cuda_3d_project(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                float cy, float cz, float rot, float tilt, float psi, int direction) {
    project_pixel(img, Nx, Ny, Nz, volume_map(euler_map(rot, tilt, psi, direction), cx, cy, cz),
                  trilinear_of(vol, Nx, Ny, Nz));
}
__global__ void cuda_3d_project_t2(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                   float cy, float cz, float rot, float tilt, float psi, int) {
    project_pixel(img, Nx, Ny, Nz, volume_map(euler_matrix(-psi, -tilt, -rot), cx, cy, cz),
                  trilinear_of(vol, Nx, Ny, Nz));
}
__global__ void cuda_3d_project_t3(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                   float cy, float cz, RT_Mat3D M) {
    project_pixel(img, Nx, Ny, Nz, volume_map(M, cx, cy, cz), trilinear_of(vol, Nx, Ny, Nz));
}
// Takes the direction flag like every other projector, so that the drivers'
// backprojection (backprojection_direction) undoes it for every flag.
__global__ void cuda_3d_project_t4(float* img, const float* __restrict__ vol, unsigned Nx, unsigned Ny, unsigned Nz,
                                   float cx, float cy, float cz, float rot, float tilt, float psi, int direction,
                                   int sampling) {
    const VolumeMap m = volume_map(euler_map(rot, tilt, psi, direction), cx, cy, cz);
    if (sampling == 0) project_pixel(img, Nx, Ny, Nz, m, trilinear_of(vol, Nx, Ny, Nz));
    else project_pixel(img, Nx, Ny, Nz, m, NearestSampler{vol, Nx, Ny, Nz});
}
__global__ void cuda_3d_project_many(float* stack, const float* rot, const float* tilt, const float* psi, unsigned N,
                                     const float* __restrict__ vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                     float cy, float cz, int direction) {
    for (unsigned k = 0; k < N; ++k)
        project_pixel(stack + stack_slice_offset(k, Nx, Ny), Nx, Ny, Nz,
                      volume_map(euler_map(rot[k], tilt[k], psi[k], direction), cx, cy, cz),
                      trilinear_of(vol, Nx, Ny, Nz));
}
__global__ void cuda_3d_project_z(float* img, const float* __restrict__ vol, unsigned Nx, unsigned Ny, unsigned Nz) {
    size_t i;
    const uint2 t = IMAGE_THREAD_XY;
    if (!pixel_inside(t, Nx, Ny, i)) return;
    float sum = 0.0f;
    for (unsigned z = 0; z < Nz; ++z) sum += vol[voxel_element(t.x, t.y, z, Nx, Ny)];
    img[i] = Nz > 0 ? sum / (float)Nz : 0.0f;
}

void hcuda_3d_project(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                      float cz, float rot, float tilt, float psi, int direction, int sampling) {
    gpu_launch_2d<cuda_3d_project_t4>(GPU_SITE, Nx, Ny, img, vol, Nx, Ny, Nz, cx, cy, cz, rot, tilt, psi, direction,
                                      sampling);
}
void gpu_3d_project(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                    float rot, float tilt, float psi, int direction, int sampling) {
    if (volume_voxels(Nx, Ny, Nz) == 0) return;
    gpu_run_on_device(GPU_SITE, img, image_pixels(Nx, Ny), vol, volume_voxels(Nx, Ny, Nz),
                      [&](const float* d_vol, float* d_img) {
                          hcuda_3d_project(d_img, d_vol, Nx, Ny, Nz, cx, cy, cz, rot, tilt, psi, direction, sampling);
                      });
}
void hcuda_3d_project_z(float* img, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz) {
    gpu_launch_2d<cuda_3d_project_z>(GPU_SITE, Nx, Ny, img, vol, Nx, Ny, Nz);
}
void hcuda_3d_project_many(float* stack, const float* rot, const float* tilt, const float* psi, unsigned N,
                           const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                           int direction) {
    gpu_launch_2d<cuda_3d_project_many>(GPU_SITE, Nx, Ny, stack, rot, tilt, psi, N, vol, Nx, Ny, Nz, cx, cy, cz,
                                        direction);
}

// ================= projection drivers =================

int gpu_3d_project_many(float* stack, const EM_Trans_Orient* orient, unsigned N, const float* vol, unsigned Nx,
                        unsigned Ny, unsigned Nz, float cx, float cy, float cz, int direction) {
    if (too_few_orientations(N, 1, __func__)) return -1;
    std::vector<float> angles(3 * (size_t)N);
    for (unsigned k = 0; k < N; ++k) {
        angles[k] = orient[k].rot;
        angles[N + k] = orient[k].tilt;
        angles[2 * (size_t)N + k] = orient[k].psi;
    }
    const size_t pixels = image_pixels(Nx, Ny);
    float* d_angles = device_copy_of(GPU_SITE, angles.data(), angles.size());
    float* d_vol = device_copy_of(GPU_SITE, vol, volume_voxels(Nx, Ny, Nz));
    float* d_stack = device_buffer<float>(GPU_SITE, pixels * N);
    const double t0 = seconds_now();
    hcuda_3d_project_many(d_stack, d_angles, d_angles + N, d_angles + 2 * (size_t)N, N, d_vol, Nx, Ny, Nz, cx, cy, cz,
                          direction);
    print_time("cuda_3d_project_many", t0);
    copy_to_host(GPU_SITE, stack, d_stack, pixels * N);
    cudaFree_many_pointers(d_angles, d_vol, d_stack, nullptr);
    return 0;
}

int gpu_3d_project_randN(float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                         float cy, float cz, int direction, int sampling) {
    if (too_few_orientations(N, 1, __func__)) return -1;
    std::vector<EM_Trans_Orient> o(N);
    random_polar_angles_many(o.data(), N);
    for (const EM_Trans_Orient& r : o) std::printf("rot %f tilt %f psi %f \n", r.rot, r.tilt, r.psi);
    const size_t pixels = image_pixels(Nx, Ny);
    float* d_vol = device_copy_of(GPU_SITE, vol, volume_voxels(Nx, Ny, Nz));
    float* d_stack = device_buffer<float>(GPU_SITE, pixels * N);
    const double t0 = seconds_now();
    for (unsigned k = 0; k < N; ++k)
        hcuda_3d_project(d_stack + k * pixels, d_vol, Nx, Ny, Nz, cx, cy, cz, o[k].rot, o[k].tilt, o[k].psi,
                         direction, sampling);
    print_time("cuda_3d_project_many", t0);
    copy_to_host(GPU_SITE, stack, d_stack, pixels * N);
    cudaFree_many_pointers(d_vol, d_stack, nullptr);
    return 0;
}

int zgpu_3d_project_randN(float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                          float cy, float cz, int direction, int sampling) {
    if (too_few_orientations(N, 1, __func__)) return -1;
    EM_Trans_Orient* o = zgpu_random_polar_angles_many(N);
    const size_t pixels = image_pixels(Nx, Ny);
    const double t0 = seconds_now();
    for (unsigned k = 0; k < N; ++k) {
        std::printf(".");
        hcuda_3d_project(stack + k * pixels, vol, Nx, Ny, Nz, cx, cy, cz, o[k].rot, o[k].tilt, o[k].psi, direction,
                         sampling);
    }
    print_time("cuda_3d_project_randN", t0);
    CUDA_CHECK(cudaFree(o));
    return 0;
}

int zgpu_3d_project_N(float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                      float cy, float cz, const std::vector<float3>& angles, int direction, int sampling) {
    if (angles.size() < N) VORN_FATAL("fewer euler angles than the projector requires");
    if (too_few_orientations(N, 1, __func__)) return -1;
    const size_t pixels = image_pixels(Nx, Ny);
    const double t0 = seconds_now();
    for (unsigned k = 0; k < N; ++k) {
        std::printf(".");
        std::fflush(stdout);
        hcuda_3d_project(stack + k * pixels, vol, Nx, Ny, Nz, cx, cy, cz, angles[k].x, angles[k].y, angles[k].z,
                         direction, sampling);
    }
    std::printf("\n");
    print_time("cuda_3d_project_N", t0);
    return 0;
}

// ================= backprojection =================

__global__ void cuda_3d_backproject_one(float* vol, const float* __restrict__ img, unsigned Nx, unsigned Ny,
                                        unsigned Nz, float cx, float cy, float cz, float rot, float tilt, float psi,
                                        int direction) {
    const uint2 t = IMAGE_THREAD_XY;
    if (t.x >= Nx || t.y >= Ny) return;
    const VolumeMap m = volume_map(euler_map(rot, tilt, psi, direction), cx, cy, cz);
    for (unsigned z = 0; z < Nz; ++z) {
        const float3 u = m.source((float)t.x, (float)t.y, (float)z);
        float v;
        if (bilinear_sample(img, Nx, Ny, u.x, u.y, v)) vol[voxel_element(t.x, t.y, z, Nx, Ny)] += v;
    }
}
void hcuda_3d_backproject_one(float* vol, const float* img, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                              float cz, float rot, float tilt, float psi, int direction) {
    gpu_launch_2d<cuda_3d_backproject_one>(GPU_SITE, Nx, Ny, vol, img, Nx, Ny, Nz, cx, cy, cz, rot, tilt, psi,
                                           direction);
}

namespace {
// The N images of a host stack backprojected into a zeroed device volume, copied to vol.
template <class Angles>
void backproject_host_stack(float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                            const float* stack, unsigned N, int direction, Angles angles) {
    const size_t voxels = volume_voxels(Nx, Ny, Nz), pixels = image_pixels(Nx, Ny);
    if (voxels == 0) return;
    float* d_vol = device_buffer<float>(GPU_SITE, voxels);
    hcuda_empty_f32(d_vol, voxels);
    if (N > 0) {
        float* d_stack = device_copy_of(GPU_SITE, stack, pixels * N);
        for (unsigned k = 0; k < N; ++k) {
            const float3 a = angles(k);
            hcuda_3d_backproject_one(d_vol, d_stack + k * pixels, Nx, Ny, Nz, cx, cy, cz, a.x, a.y, a.z, direction);
        }
        device_release(GPU_SITE, d_stack);
    }
    copy_to_host(GPU_SITE, vol, d_vol, voxels);
    device_release(GPU_SITE, d_vol);
}
}  // namespace

void gpu_3d_backproject(float* vol, const float* img, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy,
                        float cz, float rot, float tilt, float psi, int direction) {
    backproject_host_stack(vol, Nx, Ny, Nz, cx, cy, cz, img, 1, direction,
                           [&](unsigned) { return make_float3(rot, tilt, psi); });
}
void gpu_3d_backproject_many(float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz,
                             const float* stack, const EM_Trans_Orient* orient, unsigned N, int direction) {
    backproject_host_stack(vol, Nx, Ny, Nz, cx, cy, cz, stack, N, direction, [&](unsigned k) {
        return make_float3(orient[k].rot, orient[k].tilt, orient[k].psi);
    });
}

// ================= reconstruction drivers =================

namespace {

// The N images projected into the stack, then each ramp-weighted in place and
// backprojected into rec with the flag that undoes its projection. Every array
// is device-addressable; rec is added to.
void project_weight_backproject(float* rec, float* stack, const EM_Trans_Orient* o, unsigned N, const float* vol,
                                unsigned Nx, unsigned Ny, unsigned Nz, float cx, float cy, float cz, int direction,
                                int sampling) {
    const size_t pixels = image_pixels(Nx, Ny);
    double t0 = seconds_now();
    for (unsigned k = 0; k < N; ++k)
        hcuda_3d_project(stack + k * pixels, vol, Nx, Ny, Nz, cx, cy, cz, o[k].rot, o[k].tilt, o[k].psi, direction,
                         sampling);
    print_time("cuda_3d_project_many", t0);
    t0 = seconds_now();
    const int back = backprojection_direction(direction);
    for (unsigned k = 0; k < N; ++k) {
        hcuda_r2d_rweight_inplace(stack + k * pixels, Nx, Ny, 0.5f, 0.0f);
        hcuda_3d_backproject_one(rec, stack + k * pixels, Nx, Ny, Nz, cx, cy, cz, o[k].rot, o[k].tilt, o[k].psi, back);
        std::printf(".");
    }
    std::printf("\n");
    print_time("cuda_3d_backproject_many", t0);
}

void print_every(const EM_Trans_Orient* o, unsigned N, unsigned step) {
    for (unsigned k = 0; k < N; k += step) std::printf("rot %f tilt %f psi %f \n", o[k].rot, o[k].tilt, o[k].psi);
}

}  // namespace

int gpu_3d_project_rec_randN(float* rec, float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny,
                             unsigned Nz, float cx, float cy, float cz, int direction, int sampling) {
    if (too_few_orientations(N, 1, __func__)) return -1;
    std::vector<EM_Trans_Orient> o(N);
    random_polar_angles_many(o.data(), N);
    const size_t voxels = volume_voxels(Nx, Ny, Nz), pixels = image_pixels(Nx, Ny);
    float* d_vol = device_copy_of(GPU_SITE, vol, voxels);
    float* d_stack = device_buffer<float>(GPU_SITE, pixels * N);
    float* d_rec = nullptr;
    CUDA_CHECK(cudaMalloc_empty((void**)&d_rec, voxels * sizeof(float)));
    project_weight_backproject(d_rec, d_stack, o.data(), N, d_vol, Nx, Ny, Nz, cx, cy, cz, direction, sampling);
    copy_to_host(GPU_SITE, stack, d_stack, pixels * N);
    copy_to_host(GPU_SITE, rec, d_rec, voxels);
    cudaFree_many_pointers(d_vol, d_stack, d_rec, nullptr);
    return 0;
}

int zgpu_3d_project_rec_randN(float* rec, float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny,
                              unsigned Nz, float cx, float cy, float cz, int direction, int sampling) {
    if (too_few_orientations(N, 1, __func__)) return -1;
    EM_Trans_Orient* o = zgpu_random_polar_angles_many(N);
    print_every(o, N, 20);
    hcuda_empty_f32(rec, volume_voxels(Nx, Ny, Nz));
    std::vector<EM_Trans_Orient> copy(o, o + N);
    print_every(copy.data(), N, 20);
    project_weight_backproject(rec, stack, o, N, vol, Nx, Ny, Nz, cx, cy, cz, direction, sampling);
    CUDA_CHECK(cudaFree(o));
    return 0;
}

int zgpu_3d_project_rec_randN3_debug(float* rec, float* stack, float*, float* amp_before, float* amp_after,
                                     unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz, float cx,
                                     float cy, float cz, int direction, int sampling, int use_many) {
    if (too_few_orientations(N, 2, __func__)) return -1;  // the rotations read the second orientation
    const size_t voxels = volume_voxels(Nx, Ny, Nz), pixels = image_pixels(Nx, Ny);
    const size_t half = (size_t)(Nx / 2 + 1) * Ny;
    float *rot = nullptr, *tilt = nullptr, *psi = nullptr, *work = nullptr, *img = nullptr;
    cuda_malloc_many_pointers<float>(N, &rot, &tilt, &psi, nullptr);
    cuda_malloc_many_pointers<float>(voxels, &work, nullptr);
    cuda_malloc_many_pointers<float>(pixels, &img, nullptr);
    random_polar_angles_many(rot, tilt, psi, N);
    for (unsigned k = 0; k < N; k += 50) std::printf("rot %f tilt %f psi %f \n", rot[k], tilt[k], psi[k]);

    double t0 = seconds_now();
    hcuda_empty_f32(rec, voxels);
    const std::vector<const char*>& files = PROJECT_REC_RANDN3_DEBUG_FILES;
    mrcf_write_xyz_zdata(files[0], rec, (int)Nx, (int)Ny, (int)Nz);
    print_time("rec_3d0", t0);

    struct Rotation {
        const char* label;
        const char* file;
        void (*rotate)(float*, const float*, unsigned, unsigned, unsigned, float, float, float, float, float, float,
                       int);
    };
    const Rotation rotations[] = {{"hcuda_3d_rotate", files[1], hcuda_3d_rotate},
                                  {"hcuda_3d_rotate_t2", files[2], hcuda_3d_rotate_t2},
                                  {"hcuda_3d_rotate_t3", files[3], hcuda_3d_rotate_t3},
                                  {"cpu_3d_rotate_t3", files[4], cpu_3d_rotate_t3}};
    for (const Rotation& r : rotations) {
        t0 = seconds_now();
        r.rotate(work, vol, Nx, Ny, Nz, cx, cy, cz, rot[1], tilt[1], psi[1], direction);
        print_time(r.label, t0);
        mrcf_write_xyz_zdata(r.file, work, (int)Nx, (int)Ny, (int)Nz);
    }

    t0 = seconds_now();
    hcuda_3d_project_z(img, vol, Nx, Ny, Nz);
    print_time("hcuda_3d_project_z", t0);
    mrcf_write_xyz_zdata(files[5], img, (int)Nx, (int)Ny, 1);

    t0 = seconds_now();
    if (use_many) {
        hcuda_3d_project_many(stack, rot, tilt, psi, N, vol, Nx, Ny, Nz, cx, cy, cz, direction);
    } else {
        for (unsigned k = 0; k < N; ++k) {
            std::printf(".");
            hcuda_3d_project(stack + k * pixels, vol, Nx, Ny, Nz, cx, cy, cz, rot[k], tilt[k], psi[k], direction,
                             sampling);
        }
    }
    std::printf("\n");
    print_time("cuda_3d_project_many", t0);

    t0 = seconds_now();
    const int back = backprojection_direction(direction);
    for (unsigned k = 0; k < N; ++k) {
        std::printf(".");
        hcuda_r2d_rweight_inplace2_debug(stack + k * pixels, amp_before + k * half, amp_after + k * half, Nx, Ny, 0.5f,
                                         0.0f);
        hcuda_3d_backproject_one(rec, stack + k * pixels, Nx, Ny, Nz, cx, cy, cz, rot[k], tilt[k], psi[k], back);
    }
    std::printf("\n");
    print_time("cuda_3d_backproject_many", t0);
    cudaFree_many_pointers(rot, tilt, psi, work, img, nullptr);
    return 0;
}

int zgpu_3d_rrt_test(float* rec, float* stack, unsigned N, const float* vol, unsigned Nx, unsigned Ny, unsigned Nz,
                     unsigned M) {
    if (too_few_orientations(N, 1, __func__)) return -1;  // orientation i mod N
    const float cx = volume_centre(Nx), cy = volume_centre(Ny), cz = volume_centre(Nz);
    const size_t voxels = volume_voxels(Nx, Ny, Nz), pixels = image_pixels(Nx, Ny);
    const int direction = 0, nearest = 1;
    float *rot = nullptr, *tilt = nullptr, *psi = nullptr, *rnd = nullptr, *img = nullptr, *reproj = nullptr;
    cuda_malloc_many_pointers<float>(N, &rot, &tilt, &psi, nullptr);
    cuda_malloc_many_pointers<float>(voxels, &rnd, nullptr);
    cuda_malloc_many_pointers<float>(pixels, &img, nullptr);
    cuda_malloc_many_pointers<float>(pixels * N, &reproj, nullptr);
    random_polar_angles_many(rot, tilt, psi, N);
    for (unsigned k = 0; k < N; k += 50) std::printf("rot %f tilt %f psi %f \n", rot[k], tilt[k], psi[k]);
    hcuda_empty_f32(rec, voxels);

    // One generator for every refill: reseeding from the clock would repeat a
    // volume within the same second.
    curandGenerator_t g;
    CURAND_CHECK(curandCreateGenerator(&g, CURAND_RNG_PSEUDO_MTGP32));
    CURAND_CHECK(curandSetPseudoRandomGeneratorSeed(g, (unsigned long long)time(nullptr)));
    const auto refill = [&] {
        CURAND_CHECK(curandGenerateUniform(g, rnd, voxels));
        hcuda_multi_add_inplace(rnd, voxels, 2.0f, -1.0f);  // (0, 1] to (-1, 1]
    };
    refill();
    mrcf_write_xyz_zdata(RRT_TEST_FILES[0], rnd, (int)Nx, (int)Ny, (int)Nz);

    const auto project_all = [&](float* out, const float* v, const char* label) {
        const double t0 = seconds_now();
        for (unsigned k = 0; k < N; ++k) {
            std::printf(".");
            hcuda_3d_project(out + k * pixels, v, Nx, Ny, Nz, cx, cy, cz, rot[k], tilt[k], psi[k], direction, nearest);
        }
        std::printf("\n");
        print_time(label, t0);
    };
    project_all(stack, vol, "cuda_3d_project_randN");

    const double t0 = seconds_now();
    for (unsigned i = 0; i < M; ++i) {
        refill();
        if (i % 100 == 0) std::printf(".");
        const unsigned k = i % N;
        hcuda_3d_project(img, rnd, Nx, Ny, Nz, cx, cy, cz, rot[k], tilt[k], psi[k], direction, nearest);
        if (hcuda_fast_dot_inplace(img, stack + k * pixels, pixels) > 0.0f) hcuda_x1d_add_inplace(rec, rnd, voxels);
        else hcuda_x1d_sub_inplace(rec, rnd, voxels);
    }
    std::printf("\n");
    print_time("cuda_3d_forward_project", t0);
    mrcf_write_xyz_zdata(RRT_TEST_FILES[1], rnd, (int)Nx, (int)Ny, (int)Nz);

    project_all(reproj, rec, "cuda_3d_re-project");
    mrcf_write_xyz_zdata(RRT_TEST_FILES[2], reproj, (int)Nx, (int)Ny, (int)N);
    CURAND_CHECK(curandDestroyGenerator(g));
    cudaFree_many_pointers(rot, tilt, psi, rnd, img, reproj, nullptr);
    return 0;
}
