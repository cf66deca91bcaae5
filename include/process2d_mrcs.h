// Stack commands: particle stacks cut image by image, peak tables, hot-pixel
// removal, reversal and splitting of stacks. The image-by-image commands hold
// one image at a time and reopen their files every 1000 images. Files that
// cannot be opened end the process as the commands of process2d_mrc do.
#pragma once

// Box i of the box file cut from image i of the stack (pixels outside the
// image 0), resized about its centre when size != 0, written to the stack's
// name with "_local_particles.mrcs". Extra images are left out with a warning;
// an empty box file is refused (-1, nothing written). Returns 0.
int mrcsf_2ds_extract_local_ptcls(const char* stack, const char* boxf, int size);
// Each image's first strict maximum, one line "%8d %8d %8d %15.6f \n" (image,
// x, y, value) per image, to the stack's name with "_local_center.txt".
int mrcf_2ds_find_single_peaks(const char* stack);
int mrcsf_2ds_rm_hotpixels(const char* in, const char* out, float nsigma);
// The images in reverse order.
int mrcsf_upsidedown(const char* in, const char* out);
// Image i alone to "<prefix>%06d.mrc"; every name is checked against the input
// and the others (a link among them) before one is written.
int mrcsf_split(const char* in, const char* prefix);
