// Helpers on plain character buffers (option keywords, 1024-byte name buffers,
// file suffixes, word splitting) and 2D/3D arrays allocated as one block.
#pragma once
#include <cstddef>

// Size of every name and line buffer; a name holds at most 1023 characters.
constexpr size_t VORN_NAME_LEN = 1024;

// ---- keywords and names ----
// 1 when word is "-keyword" or "--keyword", compared without regard to case.
int keywd_cmp(const char* word, const char* keyword);
// 1 when word is -h, --h, -help or --help in any case.
int is_keywd_help(const char* word);
// Zeroes the 1024-byte dst and copies src whole; returns strlen(src).
// A src that does not fit ends the process with the fatal line.
size_t strlcpy(char* dst, const char* src);
// 1 for "NULL" or "NONE" in any case, an empty text or one beginning with a newline.
int is_str_null(const char* s);
// 1 when s is an optional sign, then decimal digits with at most one '.'.
int is_float_number(char* s);
// strlen(suffix) when name is strictly longer than suffix and ends with it, else 0.
int get_file_suffixn(const char* name, const char* suffix);
// The integer at the start of word, read as strtol reads it (base 10, optional
// leading white space and sign, up to the first other character; 0 when there
// is no digit). False, with value untouched, when it does not fit in an int:
// a file's number is then refused instead of wrapped.
bool parse_int_word(const char* word, int& value);
// Numbers that are the whole word, as read from files and the command line: no
// blank before or after, no hexadecimal, no "inf" or "nan". False, with value
// untouched, when the word is not such a number or the number does not fit.
// An integer: an optional sign and decimal digits, within the range of int.
bool parse_whole_int(const char* word, int& value);
// A real: an optional sign, decimal digits with at most one point (at least one
// digit), then an optional exponent; finite in double.
bool parse_whole_double(const char* word, double& value);
// A real as above that is finite in single precision.
bool parse_whole_float(const char* word, float& value);
// A real as above whose integer part (fraction dropped) fits an int.
bool parse_whole_int_part(const char* word, int& value);
// dst (1024 bytes) = name less old_suffix (when it ends with it) + new_suffix; returns 0.
// A result that does not fit ends the process with the fatal line.
int replace_file_suffix(char* dst, const char* new_suffix, const char* name, const char* old_suffix);

// ---- word splitting (strtok rules: runs of delimiters count as one) ----
// The copying forms split a private strdup copy that is never given back, so the
// words stay valid for the life of the process. Each returns the number of words stored.
int strsplit(const char* s, const char* delim, char** words);
int strnsplit(const char* s, const char* delim, char** words, int n);
int strsplit_inplace(char* s, const char* delim, char** words);
int strnsplit_inplace(char* s, const char* delim, char** words, int n);
int strsplit_byspace(const char* s, char** words);
int strnsplit_byspace(const char* s, char** words, int n);
int strsplit_inplace_byspace(char* s, char** words);
int strnsplit_inplace_byspace(char* s, char** words, int n);

// ---- block arrays: the row pointers followed by the data, released with one free ----
void** malloc2d(int rows, int cols, int size);
char** strmalloc2d(int rows, int len);
void*** malloc3d(int K, int L, int M, int size);
void empty2d_array(void** a, int rows, int cols, int size);
void free2d(void* a);
void free3d(void* a);
void memcpy_1d_to_2d(void** dst, void* src, int rows, int cols, int size);
void memcpy_2d_to_1d(void* dst, void** src, int rows, int cols, int size);
void memcpy_1d_to_3d(void*** dst, void* src, int K, int L, int M, int size);
void memcpy_3d_to_1d(void* dst, void*** src, int K, int L, int M, int size);
