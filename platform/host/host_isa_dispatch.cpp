// The instruction set a program runs with. A program built with the dispatch
// (CMakeLists.txt: vorn_add_x86_64_v3_copy) carries a second copy of itself
// and of the library, compiled for x86-64-v3 (AVX2, FMA, BMI2), whose main is
// vorn_x86_64_v3_main; the linker sends the C runtime's call of main here
// (--wrap=main), and this hands over to that copy where the processor has
// those instructions. Both copies compute the same results: nothing is
// contracted into fused multiply-adds and no sum is reordered.
int vorn_x86_64_v3_main(int argc, char** argv);
extern "C" int __real_main(int argc, char** argv);

extern "C" int __wrap_main(int argc, char** argv) {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v3")) return vorn_x86_64_v3_main(argc, argv);
    return __real_main(argc, argv);
}
