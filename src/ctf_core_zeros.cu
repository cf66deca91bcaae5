// Zeros and peaks of the CTF along a 1D profile, found by inverting the phase
// order by order rather than by searching the profile.
#define VORN_UNIT "src/ctf_core"
#include "ctf_core.h"

namespace {

// The phase of a profile without astigmatism and its inversion.
struct ProfilePhase {
    float a2, a4, Cs, AC, P;
    ProfilePhase(float kV, float Cs_, float AC_, float P_, float Df) : Cs(Cs_), AC(AC_), P(P_) {
        const float lambda = ctf_wavelength(kV);
        a2 = ctf_a2(lambda, Df);
        a4 = ctf_a4(lambda, Cs);
    }
    // chi' at frequency s.
    float full(float s) const { return ctf_full_phase(ctf_geometric_phase(a2, a4, s), AC, P); }
    // The frequency where chi' reaches order pi, or order pi + pi/2 for a peak; 0 for a negative target.
    float frequency(int order, bool peak) const {
        const float phase = (float)(order * CTF_PI + (peak ? CTF_PI / 2.0 : 0.0));
        const float T = (float)((double)(phase - ctf_asin(AC)) - (double)P * CTF_PI / 180.0);
        return T < 0.0f ? 0.0f : ctf_phase_frequency(a2, a4, T, Cs);
    }
};

// The bin of frequency s, false where it is not a number or falls outside the profile.
bool profile_bin(float s, int n, float apix, int& j) {
    const float b = (float)(2 * n - 2) * apix * s;
    if (!(b >= 0.0f && b < (float)n)) return false;
    j = (int)b;
    return true;
}

// The x of an entry by the units digit of a mode.
float entry_x(int unit, int j, float s) {
    switch (unit) {
        case 1: return (float)j;
        case 2: return s;
        case 3: return s * s;
        default: return 1.0f / s;
    }
}

bool known_zp_mode(int mode) {
    const int tens = mode / 10, unit = mode % 10;
    return mode > 0 && tens <= 2 && unit >= 1 && unit <= 4;
}

// Appends the zeros of orders 1 .. count - 1 as make(j, s, value).
template <class T, class Make>
int list_zeros(std::vector<T>& list, const float* profile, int n, float apix, const ProfilePhase& ph, Make make) {
    const int count = (int)trunc((double)ph.full(0.5f / apix) / CTF_PI);
    list.clear();
    for (int i = 1; i < count; ++i) {
        const float s = ph.frequency(i, false);
        int j;
        if (profile_bin(s, n, apix, j)) list.push_back(make(j, s, profile[j]));
    }
    return count;
}

}  // namespace

int cpu_ctf_1dh_get_all_zero(std::vector<float2>& list, const float* profile, int n, float apix, float kV, float Cs,
                             float AC, float P, float Df) {
    return list_zeros(list, profile, n, apix, ProfilePhase(kV, Cs, AC, P, Df),
                      [](int j, float, float v) { return make_float2((float)j, v); });
}

int cpu_ctf_1dh_get_all_zero_v3(std::vector<float3>& list, const float* profile, int n, float apix, float kV, float Cs,
                                float AC, float P, float Df) {
    return list_zeros(list, profile, n, apix, ProfilePhase(kV, Cs, AC, P, Df),
                      [](int j, float s, float v) { return make_float3((float)j, s, v); });
}

int cpu_ctf_1dh_get_all_zp_res(std::vector<float2>& list, const float* profile, int n, float apix, float kV, float Cs,
                               float AC, float P, float Df, float low, float high, int mode) {
    if (!known_zp_mode(mode)) {
        VORN_WARNING("zp_mode unrecognized!!\n\033[m");
        return -1;
    }
    const ProfilePhase ph(kV, Cs, AC, P, Df);
    const float count = floorf((float)((double)ph.full(1.0f / high) / CTF_PI));
    list.clear();
    if (!(count >= 0.0f)) return 0;
    const bool zeros = mode / 10 != 1, peaks = mode / 10 != 0;
    // A frequency of 0 (a negative target) or not a number never lies in the band.
    auto append = [&](float s) {
        int j;
        if (s > 0.0f && s >= 1.0f / low && s <= 1.0f / high && profile_bin(s, n, apix, j))
            list.push_back(make_float2(entry_x(mode % 10, j, s), profile[j]));
    };
    const float nyquist = 0.5f / apix;
    for (int i = 0; i <= count; ++i) {
        // Higher orders lie further out: once a zero passes Nyquist (or has no
        // frequency), no later position can be read from the profile.
        const float zero = ph.frequency(i, false);
        if (!(zero <= nyquist)) break;
        if (zeros) append(zero);
        if (peaks) append(ph.frequency(i, true));
    }
    return (int)list.size();
}

int cpu_ctf_1dh_get_all_peaks_iv_res(std::vector<float2>& list, const float* profile, int n, float apix, float kV,
                                     float Cs, float AC, float P, float Df, float low, float high) {
    return cpu_ctf_1dh_get_all_zp_res(list, profile, n, apix, kV, Cs, AC, P, Df, low, high, 11);
}

int cpu_ctf_1dh_get_all_peaks_ssv_res(std::vector<float2>& list, const float* profile, int n, float apix, float kV,
                                      float Cs, float AC, float P, float Df, float low, float high) {
    return cpu_ctf_1dh_get_all_zp_res(list, profile, n, apix, kV, Cs, AC, P, Df, low, high, 13);
}
