#define VORN_UNIT "src/txt_file"
#include "txt_file.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "report.h"
#include "str_utils.h"

const char* non_regular_file_kind(const char* path) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0 || S_ISREG(st.st_mode)) return nullptr;
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISFIFO(st.st_mode)) return "a named pipe";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    return "a special file";
}

void empty_txt_line(char* line) { memset(line, 0, VORN_LINE_LEN); }

int read_one_line(char* line, FILE* f) {
    empty_txt_line(line);
    if (fgets(line, VORN_LINE_LEN, f) == nullptr) empty_txt_line(line);
    return 0;
}

NumberedLines numbered_lines(FILE* f) { return NumberedLines{f, 0, true}; }

bool read_numbered_line(char* line, NumberedLines& lines) {
    empty_txt_line(line);
    // Nothing read: the end of the file, or a read error (a directory), which
    // no later call gets past either.
    if (fgets(line, VORN_LINE_LEN, lines.f) == nullptr) {
        empty_txt_line(line);
        return false;
    }
    if (lines.line_ended) ++lines.number;
    // The buffer was zeroed: a newline behind a NUL byte still ends the line.
    lines.line_ended = memchr(line, '\n', VORN_LINE_LEN - 1) != nullptr;
    return true;
}

WholeLines whole_lines(FILE* f) { return WholeLines{f, 0, nullptr, 0, false, false}; }

void free_whole_lines(WholeLines& lines) {
    free(lines.text);
    lines.text = nullptr;
    lines.room = 0;
}

// Room for len + 2 bytes of text (a character and the NUL after it).
static bool whole_line_room(WholeLines& lines, size_t len) {
    if (len + 2 <= lines.room) return true;
    const size_t room = lines.room == 0 ? 256 : 2 * lines.room;
    char* text = (char*)realloc(lines.text, room);
    if (text == nullptr) {
        VORN_WARNING("no memory for a line of %zu bytes\n\033[m", room);
        lines.failed = true;
        return false;
    }
    lines.text = text;
    lines.room = room;
    return true;
}

bool read_whole_line(WholeLines& lines) {
    if (!whole_line_room(lines, 0)) return false;
    size_t len = 0;
    bool cut = false;  // a NUL byte ended the text before the line's end
    bool any = false;
    lines.overlong = false;
    lines.failed = false;
    for (int c; (c = getc(lines.f)) != EOF;) {
        any = true;
        if (c == '\0') cut = true;
        if (!cut && !lines.overlong) {
            if (len >= VORN_WHOLE_LINE_MAX) {
                lines.overlong = true;
            } else {
                if (!whole_line_room(lines, len)) return false;
                lines.text[len++] = (char)c;
            }
        }
        if (c == '\n') break;
    }
    if (ferror(lines.f)) {
        lines.failed = true;
        return false;
    }
    if (!any) return false;
    if (lines.overlong) len = 0;
    lines.text[len] = '\0';
    ++lines.number;
    return true;
}

void empty_txt_lline(char* line) { memset(line, 0, VORN_LLINE_LEN); }

int read_one_lline(char* line, FILE* f) {
    empty_txt_lline(line);
    if (fgets(line, VORN_LLINE_LEN, f) == nullptr) empty_txt_lline(line);
    return 0;
}

// A line of at most 1023 characters holds at most this many words.
constexpr unsigned MAX_LINE_WORDS = VORN_LINE_LEN / 2;

// Reads one line into line and splits it by whitespace into at most n words.
static int read_line_words(char* line, char** words, unsigned n, FILE* f) {
    read_one_line(line, f);
    return strnsplit_inplace_byspace(line, words, (int)(n < MAX_LINE_WORDS ? n : MAX_LINE_WORDS));
}

static void store_numbers(float* v, char** words, int count) {
    for (int k = 0; k < count; ++k) v[k] = (float)strtod(words[k], nullptr);
}

int read_one_line_to_f32(float* v, unsigned n, FILE* f) {
    char line[VORN_LINE_LEN];
    char* words[MAX_LINE_WORDS];
    store_numbers(v, words, read_line_words(line, words, n, f));
    return 0;
}

int read_one_line_to_f32_strict(float* v, unsigned n, FILE* f) {
    char line[VORN_LINE_LEN];
    char* words[MAX_LINE_WORDS];
    const int count = read_line_words(line, words, n, f);
    if ((unsigned)count < n) {
        VORN_WARNING("Number of line columns must be at least the data points!\n\033[m");
        return -1;
    }
    store_numbers(v, words, count);
    return 0;
}

// Reads at most max_lines lines (pieces of at most 1023 characters) from the
// start of f. On a piece holding pattern: f back at its start, *line_no its
// 1-based number, its offset returned. Otherwise -1 with f where reading stopped.
static long find_line(FILE* f, const char* pattern, long long max_lines, int* line_no) {
    if (ftell(f) != 0) rewind(f);
    char line[VORN_LINE_LEN];
    for (long long count = 0; count < max_lines;) {
        const long pos = ftell(f);
        empty_txt_line(line);
        if (fgets(line, VORN_LINE_LEN, f) == nullptr) break;
        ++count;
        if (strstr(line, pattern) != nullptr) {
            fseek(f, pos, SEEK_SET);
            *line_no = (int)count;
            return pos;
        }
    }
    return -1;
}

long FILE_find_str_line(FILE* f, const char* pattern) {
    int line_no;
    return find_line(f, pattern, LLONG_MAX, &line_no);
}

long FILE_Nfind_str_line(FILE* f, const char* pattern, int N) {
    int line_no;
    return find_line(f, pattern, (long long)N + 1, &line_no);
}

int f_Nfind_str_line(char* path, const char* pattern, int N) {
    FILE* f = fopen(path, "r");
    if (f == nullptr) {
        printf("Cannot open file %s. Permission denied or wrong file name.\n", path);
        VORN_FATAL("open file '%s' failed.", path);
    }
    int line_no = -1;
    if (find_line(f, pattern, (long long)N + 1, &line_no) < 0) line_no = -1;
    fclose(f);
    return line_no;
}
