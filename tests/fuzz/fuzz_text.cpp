// Fuzz target of the text and name helpers: line readers, numbers of a line,
// line search, word splitting, keyword and name tests, name builders (whose
// refusal of a name that does not fit is a fatal line) and the integer parser.
// Input: 2 bytes of call parameters (which call, a count), then the text.
// Oracles: numbered lines count the file's newlines; a split never stores more
// words than asked; the integer parser agrees with a wide reading of the word.
#include <cerrno>
#include <climits>

#include "fuzz_harness.h"
#include "mrcfile.h"
#include "str_utils.h"
#include "txt_file.h"

namespace {

constexpr size_t PARAM_BYTES = 2;

void lines(const std::string& path, const uint8_t* text, size_t size) {
    FILE* f = std::fopen(path.c_str(), "r");
    char* line = fuzz::scratch<char>(VORN_LLINE_LEN, 'x');
    NumberedLines numbered = numbered_lines(f);
    long last = 0;
    while (read_numbered_line(line, numbered)) last = numbered.number;
    long newlines = 0;
    for (size_t i = 0; i < size; ++i) newlines += text[i] == '\n';
    // NUL bytes included: a newline behind one still ends its line.
    const long want = newlines + (size > 0 && text[size - 1] != '\n');
    if (last != want) fuzz::finding("numbered lines miscount");
    std::rewind(f);
    for (int i = 0; i < 64 && !std::feof(f); ++i) read_one_lline(line, f);
    std::fclose(f);
}

void numbers(const std::string& path, unsigned n) {
    FILE* f = std::fopen(path.c_str(), "r");
    float* v = fuzz::scratch<float>(n + 1, -1.0f);
    for (int i = 0; i < 8; ++i) {
        read_one_line_to_f32(v, n, f);
        read_one_line_to_f32_strict(v, n, f);
    }
    if (v[n] != -1.0f) fuzz::finding("number stored past n");
    std::fclose(f);
}

void search(std::string& path, const char* text, int n) {
    FILE* f = std::fopen(path.c_str(), "r");
    const char* pattern = text[0] != '\0' ? text : "_rln";
    const long at = FILE_find_str_line(f, pattern);
    if (at >= 0 && std::ftell(f) != at) fuzz::finding("file not left at the line found");
    FILE_Nfind_str_line(f, "_rlnPhaseShift", n);
    std::fclose(f);
    f_Nfind_str_line(path.data(), "Processing done successfully", n);
}

void split(const char* text, int n) {
    char* copy = fuzz::scratch<char>(std::strlen(text) + 1, '\0');
    std::strcpy(copy, text);
    char** words = fuzz::scratch<char*>(4096, nullptr);
    const int k = strnsplit_inplace_byspace(copy, words, n);
    if (k < 0 || k > n || words[k] != nullptr) fuzz::finding("more words stored than asked");
    std::strcpy(copy, text);
    strsplit_inplace(copy, ",;= \t", words);
    std::strcpy(copy, text);
    strnsplit_inplace(copy, "#", words, n);
}

void names(const char* text) {
    char* copy = fuzz::scratch<char>(std::strlen(text) + 1, '\0');
    std::strcpy(copy, text);
    is_float_number(copy);
    is_str_null(text);
    is_keywd_help(text);
    keywd_cmp(text, "apix");
    keywd_cmp("--apix", text);
    get_file_suffixn(text, ".mrc");
    get_micrograph_suffixn(text);
    char* out = fuzz::scratch<char>(VORN_NAME_LEN, 'x');
    replace_file_suffix(out, "_EPA.log", text, ".mrc");
    mrcf_set_outname_by_suffix(out, text, ".ctf");
    mrcf_set_outname_by_insertion(out, text, "_flip");
    strlcpy(out, text);
}

void integer(const char* text) {
    int v = 12345;
    errno = 0;
    const long long wide = std::strtoll(text, nullptr, 10);
    const bool fits = errno != ERANGE && wide >= INT_MIN && wide <= INT_MAX;
    if (parse_int_word(text, v) != fits || (fits && v != (int)wide) || (!fits && v != 12345))
        fuzz::finding("integer parser disagrees with a wide reading");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::Seeds seeds;
    const char* texts[] = {"1.5 2 -3e2 4\n_rlnPhaseShift #6\nProcessing done successfully.\n",
                           "a.mrc\n--apix\n2147483648\n-12.5\n", "x,y;z=1\n# comment\n\n\n  last"};
    int k = 0;
    for (int call = 0; call < 6; ++call)
        for (const char* t : texts) seeds.push_back({"seed" + std::to_string(k++), std::string{(char)call, 3} + t});
    fuzz::start(*argc, *argv, seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < PARAM_BYTES) return 0;
    const int call = data[0] % 6, n = data[1] % 64;
    const uint8_t* body = data + PARAM_BYTES;
    const size_t body_size = size - PARAM_BYTES;
    std::string path = fuzz::write_input("in.txt", body, body_size);
    const std::string text((const char*)body, body_size);  // as a C string: up to the first NUL
    fuzz::reject_or_run([&] {
        switch (call) {
            case 0: lines(path, body, body_size); break;
            case 1: numbers(path, (unsigned)n); break;
            case 2: search(path, text.c_str(), n); break;
            case 3: split(text.c_str(), n); break;
            case 4: names(text.c_str()); break;
            default: integer(text.c_str());
        }
    });
    return 0;
}
