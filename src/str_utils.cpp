#define VORN_UNIT "src/str_utils"
#include "str_utils.h"

#include <strings.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "report.h"

// ---- keywords and names ----

int keywd_cmp(const char* word, const char* keyword) {
    // Compared in place: no copy of the word or the keyword, whatever their length.
    if (word[0] != '-') return 0;
    if (strcasecmp(word + 1, keyword) == 0) return 1;
    return word[1] == '-' && strcasecmp(word + 2, keyword) == 0 ? 1 : 0;
}

int is_keywd_help(const char* word) { return keywd_cmp(word, "h") || keywd_cmp(word, "help") ? 1 : 0; }

size_t strlcpy(char* dst, const char* src) {
    const size_t len = strlen(src);
    // A cut name could give two inputs the same output names: refuse it.
    if (len >= VORN_NAME_LEN) VORN_FATAL("name of %zu characters does not fit in %zu bytes", len, VORN_NAME_LEN);
    memset(dst, 0, VORN_NAME_LEN);
    memcpy(dst, src, len);
    return len;
}

int is_str_null(const char* s) {
    return strcasecmp(s, "NULL") == 0 || strcasecmp(s, "NONE") == 0 || s[0] == '\0' || s[0] == '\n' ? 1 : 0;
}

int is_float_number(char* s) {
    if (*s == '+' || *s == '-') ++s;
    int points = 0;
    for (; *s; ++s) {
        if (*s == '.') {
            if (++points > 1) return 0;
        } else if (*s < '0' || *s > '9') {
            return 0;
        }
    }
    return 1;
}

int get_file_suffixn(const char* name, const char* suffix) {
    const size_t n = strlen(name), k = strlen(suffix);
    return n > k && strcmp(name + n - k, suffix) == 0 ? (int)k : 0;
}

int replace_file_suffix(char* dst, const char* new_suffix, const char* name, const char* old_suffix) {
    const size_t stem = strlen(name) - (size_t)get_file_suffixn(name, old_suffix);
    const size_t tail = strlen(new_suffix);
    if (stem + tail >= VORN_NAME_LEN)
        VORN_FATAL("name of %zu characters does not fit in %zu bytes", stem + tail, VORN_NAME_LEN);
    memset(dst, 0, VORN_NAME_LEN);
    memcpy(dst, name, stem);
    memcpy(dst + stem, new_suffix, tail);
    return 0;
}

bool parse_int_word(const char* word, int& value) {
    errno = 0;
    const long long v = strtoll(word, nullptr, 10);
    if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    value = (int)v;
    return true;
}

namespace {

const char* skip_digits(const char* s) {
    while (*s >= '0' && *s <= '9') ++s;
    return s;
}

// True when the word is an optional sign, decimal digits with at most one point
// (at least one digit) and an optional exponent, and nothing else; with
// integer_only, an optional sign and digits alone.
bool is_number_form(const char* w, bool integer_only) {
    if (*w == '+' || *w == '-') ++w;
    const char* int_end = skip_digits(w);
    bool digits = int_end != w;
    w = int_end;
    if (integer_only) return digits && *w == '\0';
    if (*w == '.') {
        const char* frac_end = skip_digits(w + 1);
        digits = digits || frac_end != w + 1;
        w = frac_end;
    }
    if (!digits) return false;
    if (*w == 'e' || *w == 'E') {
        ++w;
        if (*w == '+' || *w == '-') ++w;
        const char* exp_end = skip_digits(w);
        if (exp_end == w) return false;
        w = exp_end;
    }
    return *w == '\0';
}

}  // namespace

bool parse_whole_int(const char* word, int& value) {
    return is_number_form(word, true) && parse_int_word(word, value);
}

bool parse_whole_double(const char* word, double& value) {
    if (!is_number_form(word, false)) return false;
    const double v = strtod(word, nullptr);
    if (!std::isfinite(v)) return false;
    value = v;
    return true;
}

bool parse_whole_float(const char* word, float& value) {
    double v;
    if (!parse_whole_double(word, v) || std::fabs(v) > (double)FLT_MAX) return false;
    value = (float)v;
    return true;
}

bool parse_whole_int_part(const char* word, int& value) {
    double v;
    if (!parse_whole_double(word, v)) return false;
    v = std::trunc(v);
    if (v < (double)INT_MIN || v > (double)INT_MAX) return false;
    value = (int)v;
    return true;
}

// ---- word splitting ----

static const char WHITESPACE[] = " \t\n\r\v\f";

// Cuts s with strtok and stores at most max words; strtok is not called again
// once max words are stored, so the text after them stays whole.
static int split_words(char* s, const char* delim, char** words, int max) {
    int count = 0;
    while (count < max) {
        char* w = strtok(count == 0 ? s : nullptr, delim);
        if (w == nullptr) break;
        words[count++] = w;
    }
    return count;
}

// Whether a split has work to do: 1 yes, 0 nothing to split, -1 no word list
// (reported under the name owner).
static int split_check(const char* s, const char* delim, char** words, int max, const char* owner) {
    if (s == nullptr || s[0] == '\0' || delim == nullptr || delim[0] == '\0' || max <= 0) return 0;
    if (words == nullptr) {
        printf("Error in function %s()!Memory for 'dest' not allocated.\n", owner);
        return -1;
    }
    return 1;
}

static int split_copy(const char* s, const char* delim, char** words, int max, const char* owner) {
    if (split_check(s, delim, words, max, owner) != 1) return 0;
    char* copy = strdup(s);
    if (copy == nullptr) return 0;
    const int count = split_words(copy, delim, words, max);
    if (count == 0) free(copy);  // no word points into it
    return count;
}

static int split_inplace(char* s, const char* delim, char** words, int max) {
    return split_check(s, delim, words, max, "strnsplit") == 1 ? split_words(s, delim, words, max) : 0;
}

int strsplit(const char* s, const char* delim, char** words) { return split_copy(s, delim, words, INT_MAX, "strsplit"); }
int strnsplit(const char* s, const char* delim, char** words, int n) {
    return split_copy(s, delim, words, n, "strnsplit");
}
int strsplit_inplace(char* s, const char* delim, char** words) { return split_inplace(s, delim, words, INT_MAX); }
int strnsplit_inplace(char* s, const char* delim, char** words, int n) { return split_inplace(s, delim, words, n); }
int strsplit_byspace(const char* s, char** words) {
    return split_copy(s, WHITESPACE, words, INT_MAX, "strsplit_byspace");
}
int strnsplit_byspace(const char* s, char** words, int n) {
    // This form alone treats a missing word list as fatal.
    if (words == nullptr) {
        if (split_check(s, WHITESPACE, words, n, "strnsplit") == -1) exit(1);
        return 0;
    }
    return split_copy(s, WHITESPACE, words, n, "strnsplit");
}
int strsplit_inplace_byspace(char* s, char** words) { return split_inplace(s, WHITESPACE, words, INT_MAX); }
int strnsplit_inplace_byspace(char* s, char** words, int n) { return split_inplace(s, WHITESPACE, words, n); }

// ---- block arrays ----

// a * b into out, false when either is negative or the product overflows size_t.
static bool size_product(size_t a, long long b, size_t* out) {
    return b >= 0 && !__builtin_mul_overflow(a, (unsigned long long)b, out);
}

// Bytes of a block of `pointers` row pointers followed by the data of
// n1 * n2 * n3 elements of `size` bytes; false when a count is negative or the
// total does not fit in size_t.
static bool block_bytes(long long pointers, int n1, int n2, int n3, int size, size_t* total) {
    size_t ptr_bytes, data = 1;
    if (!size_product(sizeof(void*), pointers, &ptr_bytes)) return false;
    for (int n : {n1, n2, n3, size})
        if (!size_product(data, n, &data)) return false;
    return !__builtin_add_overflow(ptr_bytes, data, total);
}

void** malloc2d(int rows, int cols, int size) {
    size_t total;
    void** a = block_bytes(rows, rows, cols, 1, size, &total) ? (void**)malloc(total) : nullptr;
    if (a == nullptr) {
        puts("Function 'malloc()' error in 'malloc2d()' ! Not enough memory!");
        return nullptr;
    }
    char* data = (char*)(a + rows);
    const size_t row_bytes = (size_t)cols * (size_t)size;
    for (int r = 0; r < rows; ++r) a[r] = data + (size_t)r * row_bytes;
    return a;
}

char** strmalloc2d(int rows, int len) { return (char**)malloc2d(rows, len, 1); }

void*** malloc3d(int K, int L, int M, int size) {
    size_t total;
    const long long groups = (long long)K * (long long)L;
    void*** a = block_bytes((long long)K + groups, K, L, M, size, &total) ? (void***)malloc(total) : nullptr;
    if (a == nullptr) {
        printf("\nFunction 'malloc()' error in 'malloc3d()' ! Not enough memory!");
        return nullptr;
    }
    void** rows = (void**)(a + K);
    char* data = (char*)(rows + groups);
    const size_t row_bytes = (size_t)M * (size_t)size;
    for (int i = 0; i < K; ++i) a[i] = rows + (size_t)i * (size_t)L;
    for (long long r = 0; r < groups; ++r) rows[r] = data + (size_t)r * row_bytes;
    return a;
}

void empty2d_array(void** a, int rows, int cols, int size) {
    for (int r = 0; r < rows; ++r) memset(a[r], 0, (size_t)cols * (size_t)size);
}

void free2d(void* a) { free(a); }
void free3d(void* a) { free(a); }

void memcpy_1d_to_2d(void** dst, void* src, int rows, int cols, int size) {
    const size_t row_bytes = (size_t)cols * (size_t)size;
    for (int r = 0; r < rows; ++r) memcpy(dst[r], (char*)src + (size_t)r * row_bytes, row_bytes);
}

void memcpy_2d_to_1d(void* dst, void** src, int rows, int cols, int size) {
    const size_t row_bytes = (size_t)cols * (size_t)size;
    for (int r = 0; r < rows; ++r) memcpy((char*)dst + (size_t)r * row_bytes, src[r], row_bytes);
}

void memcpy_1d_to_3d(void*** dst, void* src, int K, int L, int M, int size) {
    const size_t group_bytes = (size_t)L * (size_t)M * (size_t)size;
    for (int i = 0; i < K; ++i) memcpy_1d_to_2d(dst[i], (char*)src + (size_t)i * group_bytes, L, M, size);
}

void memcpy_3d_to_1d(void* dst, void*** src, int K, int L, int M, int size) {
    const size_t group_bytes = (size_t)L * (size_t)M * (size_t)size;
    for (int i = 0; i < K; ++i) memcpy_2d_to_1d((char*)dst + (size_t)i * group_bytes, src[i], L, M, size);
}
