// The host backend: our own stand-ins for the CUDA runtime, cuFFT and cuRAND,
// running kernels on the CPU.
#pragma once
#include "host_types.h"
#include "host_runtime.h"
#include "host_math.h"
#include "host_launch.h"
#include "host_lanes.h"
#include "host_cufft.h"
#include "host_curand.h"
