// Projection orientations: the EM_Trans_Orient record and random orientations
// spread uniformly over the sphere, drawn from the system generator, which each
// call reseeds (srand) with the wall-clock second.
#pragma once

// One orientation, 32 bytes: a shift, then Euler angles in degrees; the last
// three floats are not filled here.
struct EM_Trans_Orient {
    float shift_x, shift_y;
    float rot, tilt, psi;
    float reserved[3];
};
static_assert(sizeof(EM_Trans_Orient) == 32, "an orientation record is 32 bytes");

// One draw r of rand() (0 .. 2147483647) as an angle, in double: rot and psi
// r*360/2147483647 degrees; tilt acos(1 - 2r/2147483647) in degrees, so that
// cos(tilt) is uniform in [-1, 1].
double rand_draw_to_degrees(int r);
double rand_draw_to_tilt_degrees(int r);

// n records: shifts 0, then rot, tilt and psi drawn in this order per record.
void random_polar_angles_many(EM_Trans_Orient* o, unsigned n);
// The same into a new managed array of n records (freed by the caller with
// cudaFree); null for n = 0, which a GPU cannot allocate.
EM_Trans_Orient* zgpu_random_polar_angles_many(unsigned n);
// The same three angles into three arrays.
void random_polar_angles_many(float* rot, float* tilt, float* psi, unsigned n);
// One orientation in radians: rot and psi in [0, 2 pi], tilt in [0, pi]. The first argument is not used.
void random_polar_angles(float unused, float& rot, float& tilt, float& psi);
